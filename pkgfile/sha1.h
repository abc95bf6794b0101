// SHA-1 behind the small hash interface that the package reader feeds.
#pragma once

#include <cstddef>
#include <cstdint>

class Hash {
 public:
  virtual ~Hash() = default;
  /// Appends bytes to the running computation.
  virtual void update(const uint8_t* data, size_t length) = 0;
};

class SHA1 : public Hash {
 public:
  static constexpr size_t DIGEST_LENGTH = 20;

  SHA1();
  ~SHA1() override;
  SHA1(const SHA1&) = delete;
  SHA1& operator=(const SHA1&) = delete;

  void update(const uint8_t* data, size_t length) override;
  /// Writes the 20-byte digest of everything appended since the computation
  /// began, then begins a new computation.
  void digest(uint8_t out[DIGEST_LENGTH]);

 private:
  struct State;
  State* state_;
};
