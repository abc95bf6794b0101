# Reads a GNU ld link map (-Wl,-Map) and prints how many bytes of code,
# read-only data, data and bss each part of the program brought: the
# project's own libraries, the C++ runtime, the C runtime, zlib and libcrypto.
function hex(text,    i, value) {
  value = 0
  for (i = 3; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
  return value
}
function part(file) {
  if (file ~ /lib(model|journal|console|pkgfile|device|pkg|resolve|driver|tools)\.a\(/ || file ~ /\.cpp\.o$/) return "project"
  if (file ~ /libcrypto\.a/) return "libcrypto"
  if (file ~ /libz\.a/) return "zlib"
  if (file ~ /libstdc\+\+|libsupc\+\+/) return "C++ runtime"
  return "C runtime"
}
function kind(section) {
  if (section ~ /^\.(text|init|fini)/) return "text"
  if (section ~ /^\.rodata|^\.sdata2|^\.eh_frame|^\.gcc_except_table/) return "rodata"
  if (section ~ /^\.(data|sdata|got|tdata|init_array|fini_array|ctors|dtors)/) return "data"
  if (section ~ /^\.(bss|sbss|tbss)|^COMMON$/) return "bss"
  return ""
}
function record(section, size, file,    k) {
  k = kind(section)
  if (k == "" || file == "") return
  bytes[part(file), k] += hex(size)
  parts[part(file)] = 1
}
/^Linker script and memory map/ { inmap = 1; next }
!inmap { next }
/^ (\.[^ ]+|COMMON)$/ { pending = $1; next }
/^ (\.[^ ]+|COMMON) +0x[0-9a-f]+ +0x[0-9a-f]+ / { record($1, $3, $4); pending = ""; next }
pending != "" && /^ +0x[0-9a-f]+ +0x[0-9a-f]+ / { record(pending, $2, $3); pending = ""; next }
{ pending = "" }
END {
  printf "%-12s %9s %9s %9s %9s %9s\n", "part", "text", "rodata", "data", "bss", "total"
  n = split("project|C++ runtime|C runtime|libcrypto|zlib", order, "|")
  for (i = 1; i <= n; i++) {
    p = order[i]
    if (!(p in parts)) continue
    t = bytes[p, "text"] + bytes[p, "rodata"] + bytes[p, "data"] + bytes[p, "bss"]
    all += t
    printf "%-12s %9d %9d %9d %9d %9d\n", p, bytes[p, "text"], bytes[p, "rodata"], bytes[p, "data"], bytes[p, "bss"], t
  }
  printf "%-12s %49d\n", "all", all
}
