// libFuzzer target for the short texts the network and the environment hand the request loop: a list
// of patch servers, a Retry-After value, a Content-Range value and a partial body's tag file, each
// checked against its contract.
//
// Input: the first byte chooses the reader (its value modulo 4), the rest is the text.
#include <cstdint>
#include <string>

#include "platform/http.h"
#include "tests/fuzz/fuzz_support.h"
#include "transfer/attempt_ledger.h"
#include "transfer/partial_file.h"
#include "transfer/server_address.h"

namespace {

using korvel::fuzz::fail;

void checkServerList(const std::string& text) {
  const korvel::ServerList list = korvel::parseServerList(text, 7000);
  for (const korvel::ServerAddress& server : list.servers) {
    if (server.host.empty()) fail("a server without a host");
    if (server.port < 1 || server.port > 65535) fail("a port out of range");
    if (server.scheme != "http" && server.scheme != "https") fail("a scheme that is neither http nor https");
    if (server.host.find_first_of(",/ \t@") != std::string::npos) fail("a host with a separator in it");
  }
  for (const std::string& entry : list.refused)
    if (entry.empty() || entry.find(',') != std::string::npos) fail("a refused entry that is no entry");
  // The list's own text reads back as the same list.
  const korvel::ServerList again = korvel::parseServerList(korvel::serverListText(list.servers), 1);
  if (!again.refused.empty() || again.servers != list.servers) fail("a list does not read back as itself");
}

void checkRetryAfter(const std::string& text) {
  const std::optional<std::uint32_t> pause = korvel::parseRetryAfter(text, 1700000000);
  if (pause && *pause > korvel::AttemptLedger::kLongestRequestedPauseMs) fail("a pause beyond the longest");
}

void checkContentRange(const std::string& text) {
  const std::optional<korvel::platform::ContentRange> range = korvel::platform::parseContentRange(text);
  if (!range) return;
  if (range->satisfied && range->last < range->first) fail("a range that ends before it starts");
  if (range->satisfied && range->total && range->last >= *range->total) fail("a range past its total");
  if (!range->satisfied && !range->total) fail("an unsatisfied range without a total");
}

void checkTag(const std::string& text) {
  const std::string path = korvel::fuzz::scratchFolder() + "/t.tag";
  if (!korvel::fuzz::writeWhole(path, text.data(), text.size())) fail("the scratch folder cannot be written");
  const std::optional<korvel::PartialFile::Tag> tag = korvel::PartialFile::readTag(path);
  if (!tag) return;
  for (const std::string* field : {&tag->validator, &tag->server, &tag->target})
    if (field->find('\n') != std::string::npos) fail("a tag field that spans lines");
  if (text.rfind("korvel-partial 1\n", 0) != 0) fail("a tag without its header line");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korvel::fuzz::makeScratchFolder("network-text-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0: checkServerList(text); break;
    case 1: checkRetryAfter(text); break;
    case 2: checkContentRange(text); break;
    default: checkTag(text); break;
  }
  return 0;
}
