// libFuzzer target for an external document: a manifest whose one distribution lives in a document of
// its own, fetched from the server, and the fuzzed input is that document (every fetch, the nested
// ones included, answers with it, so a document that names itself meets the depth limit). The tree
// built from it is then counted over. Nothing reaches a network or the disk: the session's downloads
// are answered in memory.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "manifest/distribution_node.h"
#include "manifest/product_record.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr char kManifest[] =
    "<KorvelPatcher><Product Name=\"P\" Version=\"1\">"
    "<Distribution Name=\"Outer\" Server=\"patch.invalid\" Port=\"7000\" RemotePath=\"outer.xml\"/>"
    "<File Name=\"beside.bin\" TotalSize=\"4\"/>"
    "</Product></KorvelPatcher>";

xmlDoc* manifest = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  unsetenv("KORVEL_MANIFEST_KEY");
  korvel::fuzz::silenceXmlErrors();
  korvel::fuzz::makeScratchFolder("external-fuzz");
  manifest = xmlParseMemory(kManifest, sizeof kManifest - 1);
  if (!manifest) korvel::fuzz::fail("the manifest does not parse");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvel::fuzz::FuzzSession session;
  session.setDocument(std::string(reinterpret_cast<const char*>(data), size));
  xmlNode* product = xmlDocGetRootElement(manifest)->children;
  session.products().build(product);
  session.products().aggregateFlags();
  session.products().linkEnvironments();
  if (session.memoryDownloads() < 1) korvel::fuzz::fail("the external document was not fetched");
  korvel::ProductHandle* top = session.products().top();
  if (!top) korvel::fuzz::fail("no product");
  korvel::ProductRecord& record = top->record();
  record.setSelected(true, false);
  record.setSelected(true, true);
  record.countFiles(0);
  record.countBytes(0);
  record.countDownloadBytes(0);
  record.countCompressedBytes(0);
  record.largestSpaceNeeded(0);
  session.products().forEachProduct([](korvel::ProductHandle& each) { each.record().countFiles(0); });
  if (korvel::fuzz::scratchEntries() != 0) korvel::fuzz::fail("reading the document left a file behind");
  return 0;
}
