#include "pkgfile/sha1.h"

#include <openssl/sha.h>

// The low-level SHA-1 calls are deprecated in favour of the EVP interface,
// but they allocate nothing per computation, which suits a hash that is
// restarted at every package of a stream.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

struct SHA1::State {
  SHA_CTX context;
};

SHA1::SHA1() : state_(new State) { SHA1_Init(&state_->context); }

SHA1::~SHA1() { delete state_; }

void SHA1::update(const uint8_t* data, size_t length) {
  SHA1_Update(&state_->context, data, length);
}

void SHA1::digest(uint8_t out[DIGEST_LENGTH]) {
  SHA1_Final(out, &state_->context);
  SHA1_Init(&state_->context);
}
