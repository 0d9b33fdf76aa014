#include "fake_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "layer.h"
#include "support.h"

FakePlatform g_fake;

namespace {

char g_heap;
std::vector<std::unique_ptr<unsigned char[]>> g_blocks;

constexpr ULONG kHeader = offsetof(MIB_IPNETTABLE, table);

ULONG Serve(PMIB_IPNETTABLE table, PULONG size) {
  if (size == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const auto count = static_cast<ULONG>(g_fake.rows.size());
  if (count == 0) {
    return ERROR_NO_DATA;
  }
  const auto needed =
      static_cast<ULONG>(kHeader + count * sizeof(MIB_IPNETROW));
  if (table == nullptr || *size < needed) {
    *size = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  // Like a platform that writes of each physical address only the bytes
  // its length counts: the rest of the field keeps what the block held.
  table->dwNumEntries = count;
  for (ULONG i = 0; i < count; ++i) {
    const MIB_IPNETROW &from = g_fake.rows[i];
    MIB_IPNETROW &to = table->table[i];
    to.dwIndex = from.dwIndex;
    to.dwPhysAddrLen = from.dwPhysAddrLen;
    std::memcpy(to.bPhysAddr, from.bPhysAddr, from.dwPhysAddrLen);
    to.dwAddr = from.dwAddr;
    to.dwType = from.dwType;
  }
  return NO_ERROR;
}

} // namespace

void ResetFakePlatform() {
  g_fake = FakePlatform{};
  g_blocks.clear();
}

MIB_IPNETROW MakeRow(const char *address, std::vector<BYTE> phys, DWORD type,
                     DWORD index) {
  MIB_IPNETROW row{};
  row.dwIndex = index;
  row.dwType = type;
  row.dwAddr = inet_addr(address);
  row.dwPhysAddrLen = static_cast<DWORD>(phys.size());
  if (!phys.empty()) {
    std::memcpy(row.bPhysAddr, phys.data(),
                phys.size() < 8 ? phys.size() : std::size_t{8});
  }
  return row;
}

ULONG GetIpNetTable(PMIB_IPNETTABLE IpNetTable, PULONG SizePointer,
                    BOOL Order) {
  const bool first = g_fake.calls.empty();
  g_fake.calls.push_back({IpNetTable != nullptr,
                          SizePointer != nullptr ? *SizePointer : 0, Order,
                          g_fake.guarded != nullptr});
  if (!first && g_fake.duringFill != nullptr) {
    g_fake.duringFill();
  }
  std::optional<ULONG> forced = first ? g_fake.sizingStatus : g_fake.fillStatus;
  const ULONG status = forced ? *forced : Serve(IpNetTable, SizePointer);
  if (first) {
    g_fake.rows.insert(g_fake.rows.end(), g_fake.rowsAddedAfterSizing.begin(),
                       g_fake.rowsAddedAfterSizing.end());
  }
  return status;
}

HANDLE GetProcessHeap() { return &g_heap; }

// cppcheck-suppress constParameter
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  g_fake.allocations.push_back(dwBytes);
  g_fake.allocationFlags.push_back(dwFlags);
  if (hHeap != &g_heap || (dwFlags & ~HEAP_ZERO_MEMORY) != 0 ||
      g_fake.failAllocation) {
    return nullptr;
  }
  // Zeroed only when asked, as on Windows: otherwise a reader of unfilled
  // bytes sees garbage.
  g_blocks.push_back(std::make_unique<unsigned char[]>(dwBytes));
  std::memset(g_blocks.back().get(),
              (dwFlags & HEAP_ZERO_MEMORY) != 0 ? 0 : 0xCD, dwBytes);
  return g_blocks.back().get();
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId,
                     DWORD dwLanguageId, LPWSTR lpBuffer, DWORD /*nSize*/,
                     void * /*Arguments*/) {
  g_fake.formatFlags.push_back(dwFlags);
  g_fake.formatLanguages.push_back(dwLanguageId);
  const auto it = g_fake.messages.find(dwMessageId);
  if (dwLanguageId != 0 && g_fake.missingLanguageError != NO_ERROR) {
    g_fake.lastError = g_fake.missingLanguageError;
    return 0;
  }
  if (it == g_fake.messages.end()) {
    g_fake.lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  // Released by LocalFree, as the platform's text is.
  auto *text = new WCHAR[it->second.size() + 1];
  std::memcpy(text, it->second.c_str(),
              (it->second.size() + 1) * sizeof(WCHAR));
  std::memcpy(lpBuffer, &text, sizeof text);
  ++g_fake.textsOutstanding;
  // cppcheck-suppress memleak
  return static_cast<DWORD>(it->second.size());
}

// A failure of the fake's own once, then the C library's as the layer has it.
DWORD GetLastError() {
  const DWORD dwError = g_fake.lastError;
  g_fake.lastError = NO_ERROR;
  return dwError != NO_ERROR ? dwError : StatusFromErrno(errno);
}

HLOCAL LocalFree(HLOCAL hMem) {
  delete[] static_cast<WCHAR *>(hMem);
  ++g_fake.textsFreed;
  --g_fake.textsOutstanding;
  return nullptr;
}

// The Linux layer's own stands in for the C library's; this one can fail.
extern "C" char *inet_ntoa(in_addr in) noexcept {
  static char text[16];
  if (g_fake.addressWithoutText == in.s_addr) {
    return nullptr;
  }
  unsigned char b[4];
  std::memcpy(b, &in.s_addr, sizeof b);
  (void)std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

void GuardOutput(std::FILE *pFile) { g_fake.guarded = pFile; }

void ReleaseOutput() {
  g_fake.guarded = nullptr;
  if (std::filesystem::is_regular_file("output.txt")) {
    g_fake.fileAtRelease = ReadBytes("output.txt");
  }
}
