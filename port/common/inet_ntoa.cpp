// inet_ntoa of the program's own, on Windows and Linux alike: a pure
// conversion. Windows' own belongs to Windows Sockets, which may be called
// only after WSAStartup and would be loaded for this alone; the C library's
// formats through snprintf, which costs more than everything else per row
// on large tables. Same text, same contract: storage of its own that the
// next call overwrites.
#include <cstddef>
#include <cstring>

#include "platform.h"

namespace {

// Each byte's decimal digits, padded to four bytes so that one fixed-size
// copy moves them, and how many of them count.
struct Octets {
  char digits[256][4];
  unsigned char length[256];
};

constexpr Octets MakeOctets() {
  Octets o{};
  for (unsigned v = 0; v < 256; ++v) {
    const unsigned n = v >= 100 ? 3 : v >= 10 ? 2 : 1;
    unsigned rest = v;
    for (unsigned i = n; i-- > 0; rest /= 10) {
      o.digits[v][i] = static_cast<char>('0' + rest % 10);
    }
    o.length[v] = static_cast<unsigned char>(n);
  }
  return o;
}

constexpr Octets kOctets = MakeOctets();

// "255.255.255.255" and its terminator; the last padded copy ends there too.
char g_text[16];

} // namespace

extern "C" char *WSAAPI inet_ntoa(in_addr in) {
  unsigned char bytes[4];
  std::memcpy(bytes, &in.s_addr,
              sizeof bytes); // network order: first byte first
  char *p = g_text;
  for (std::size_t i = 0; i < 4; ++i) {
    std::memcpy(p, kOctets.digits[bytes[i]], 4);
    p += kOctets.length[bytes[i]];
    *p++ = '.';
  }
  p[-1] = '\0';
  return g_text;
}
