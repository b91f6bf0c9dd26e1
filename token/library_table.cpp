// The table of loaded PKCS#11 modules: loading by name, the current row, unloading.
#include "token/state.h"

namespace kestrune::token {
namespace {

using detail::libraryTable;

// Module names compare as Windows compares file names: ASCII letters ignoring case.
char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

// The vendor module "dkck201" ends an operation after its length query, so each two-pass call
// must initialise the operation again.
std::int32_t reinitFor(std::string_view name) {
  return sameNameIgnoringCase(name, "dkck201") || sameNameIgnoringCase(name, "dkck201.dll") ? 1 : 0;
}

template <class Fn>
Fn entryPoint(platform::LibraryHandle module, const char* name) {
  return reinterpret_cast<Fn>(platform::findSymbol(module, name));
}

detail::EntryPoints resolveEntryPoints(platform::LibraryHandle module) {
  detail::EntryPoints entry;
#define KESTRUNE_TOKEN_RESOLVE_ENTRY(name) entry.name = entryPoint<CK_##name>(module, #name);
  KESTRUNE_TOKEN_ENTRY_POINTS(KESTRUNE_TOKEN_RESOLVE_ENTRY)
#undef KESTRUNE_TOKEN_RESOLVE_ENTRY
  return entry;
}

std::uint32_t loadNewRow(std::string_view name) {
  if (libraryTable.libraryCount >= detail::kLibraryRows) return +TokenCode::kTableFull;
  detail::ModuleHandle module(platform::loadLibrary(name.data()));
  if (module == nullptr) return +TokenCode::kLoadFailed;
  auto& row = libraryTable.rows[libraryTable.libraryCount];
  row.name = name;  // may throw before the row is touched: the module unloads with its owner
  row.entry = resolveEntryPoints(module.get());
  row.module = std::move(module);
  libraryTable.currentLibrary = libraryTable.libraryCount;
  ++libraryTable.libraryCount;
  libraryTable.p11CryptReinit = reinitFor(name);
  return +TokenCode::kTokenOk;
}

}  // namespace

std::uint32_t p11_LoadLibrary(const char* name) {
  if (name == nullptr) return +TokenCode::kLoadFailed;
  const std::string_view wanted(name);
  for (std::uint32_t i = 0; i < libraryTable.libraryCount; ++i) {
    if (sameNameIgnoringCase(libraryTable.rows[i].name, wanted)) {
      libraryTable.currentLibrary = i;
      libraryTable.p11CryptReinit = reinitFor(wanted);
      return +TokenCode::kTokenOk;
    }
  }
  return detail::guardMemory([&] { return loadNewRow(wanted); });
}

void p11_SetReinit(std::int32_t flag) {
  libraryTable.p11CryptReinit = flag;
}

void p11_UnloadAll() {
  for (auto& row : libraryTable.rows) {
    if (row.joined) detail::leaveModule(row, false);
    row = detail::TokenLibraryEntry{};
  }
  libraryTable.libraryCount = 0;
  libraryTable.currentLibrary = 0;
  libraryTable.p11CryptReinit = 0;
}

std::uint32_t p11_LibraryCount() {
  return libraryTable.libraryCount;
}
std::int32_t p11_GetReinit() {
  return libraryTable.p11CryptReinit;
}
std::uint64_t p11_CallCount() {
  return detail::moduleCalls;
}

}  // namespace kestrune::token
