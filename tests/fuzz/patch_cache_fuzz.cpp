// libFuzzer target for the patch cache document, as a game folder may hold it: the input is written as
// the folder's cache (the current document, or an old-layout one that is merged on open; the first
// byte chooses), opened, queried, saved and opened again. The reopened cache must hold exactly the
// entries and the serial the first one saved, and every query must answer the same.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include <libxml/parser.h>

#include "common/number_text.h"
#include "patchcache/patch_cache.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvel::PatchCache;
using Facts = std::map<std::string, std::tuple<std::int32_t, std::int32_t, std::int32_t>>;

// The entries as plain values (the empty slots lookups leave are not entries: they are never saved).
Facts factsOf(const PatchCache& cache) {
  Facts facts;
  for (const auto& [key, entry] : cache.entries())
    if (entry) facts[key] = {entry->crc(), entry->timeStamp(), entry->size()};
  return facts;
}

// What a save keeps of the serial: only a decimal number above 0 is written.
std::optional<std::string> savedSerial(const PatchCache& cache) {
  const std::optional<std::string>& serial = cache.serial();
  if (!serial || korvel::decimalToInt32(serial->c_str()) <= 0) return std::nullopt;
  return serial;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korvel::fuzz::silenceXmlErrors();
  korvel::fuzz::makeScratchFolder("patch-cache-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool oldLayout = data[0] & 1;
  const bool dropMissing = data[0] & 2;
  const std::string& folder = korvel::fuzz::scratchFolder();
  korvel::fuzz::emptyScratchFolder();
  const std::string name = oldLayout ? PatchCache::kOldFileName : PatchCache::kDefaultFileName;
  if (!korvel::fuzz::writeWhole(folder + "\\" + name, data + 1, size - 1)) korvel::fuzz::fail("cannot write the cache");

  Facts first;
  std::optional<std::string> serial;
  {
    PatchCache cache;
    cache.setDropMissing(dropMissing);
    cache.open(nullptr, folder);
    // The queries the scan makes, with keys the document itself names and one it does not.
    Facts before = factsOf(cache);
    for (const auto& [key, facts] : before) {
      const korvel::PatchCacheEntry* entry = cache.entry(key);
      if (!entry || entry->crc() != std::get<0>(facts)) korvel::fuzz::fail("an entry is not found under its key");
      if (cache.cachedCrc(key) != std::get<0>(facts)) korvel::fuzz::fail("cachedCrc differs from the entry");
    }
    cache.lookup("not\\in\\the\\cache.bin");
    first = factsOf(cache);
    if (first != before) korvel::fuzz::fail("queries changed the entries");
    serial = savedSerial(cache);
    if (!cache.save()) korvel::fuzz::fail("the cache cannot be saved");
  }
  {
    PatchCache again;
    again.setDropMissing(false);
    again.open(nullptr, folder);
    if (factsOf(again) != first) korvel::fuzz::fail("the reopened cache holds other entries");
    if (again.serial() != serial) korvel::fuzz::fail("the reopened cache has another serial");
    for (const auto& [key, facts] : first)
      if (again.cachedCrc(key) != std::get<0>(facts)) korvel::fuzz::fail("the reopened cache answers otherwise");
  }
  korvel::fuzz::emptyScratchFolder();
  return 0;
}
