// A scripted platform linked in place of the layer's IP Helper, heap and
// message units, so the tool's own units can be driven through every path.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

struct FakeCall {
  bool hadBuffer;
  ULONG sizeIn;
  BOOL order;
  bool guarded; // the output file was guarded against stops meanwhile
};

struct FakePlatform {
  // The table the platform holds, and rows that appear after the first call.
  std::vector<MIB_IPNETROW> rows;
  std::vector<MIB_IPNETROW> rowsAddedAfterSizing;
  // Statuses forced on the first and second GetIpNetTable call.
  std::optional<ULONG> sizingStatus;
  std::optional<ULONG> fillStatus;
  bool failAllocation = false;
  // inet_ntoa has no text for this address (network order).
  std::optional<DWORD> addressWithoutText;
  // Runs inside the fill call, while the tool holds output.txt open.
  void (*duringFill)() = nullptr;
  std::map<DWORD, std::u16string> messages;
  // The message files lack every language but 0's fallback: a lookup in
  // any other fails with this code.
  DWORD missingLanguageError = NO_ERROR;
  DWORD lastError = NO_ERROR;

  // What the tool did.
  std::vector<FakeCall> calls;
  std::vector<SIZE_T> allocations;
  std::vector<DWORD> allocationFlags;
  std::vector<DWORD> formatFlags;
  std::vector<DWORD> formatLanguages;
  int textsFreed = 0;
  int textsOutstanding = 0;
  std::FILE *guarded = nullptr;
  // output.txt as the guard ended, when it is a regular file.
  std::optional<std::string> fileAtRelease;
};

extern FakePlatform g_fake;

// Starts a test from a clean platform; frees what earlier tests allocated.
void ResetFakePlatform();

MIB_IPNETROW MakeRow(const char *address, std::vector<BYTE> phys,
                     DWORD type = 4, DWORD index = 1);
