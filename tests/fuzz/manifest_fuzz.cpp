// libFuzzer target for the manifest: a document given as the local manifest goes through the whole
// load (the checks of the document, the product's attributes, the tree with its depth and length
// limits) and the rescan of every file against an empty installation folder. It must never read or
// write outside its buffers, and it must leave nothing outside the scratch folder's three places: the
// manifest, the rejected-document copy and the installation folder.
//
// Nothing may reach a network or a folder outside the scratch folder: documents that name a server,
// or whose path attributes could lead out of the installation folder (absolute paths, "..", drive
// letters and path tokens), are skipped before the load, judged on the tree libxml2 builds of them.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "launcher/patch_client.h"
#include "common/xml_property.h"
#include "manifest/xml_attributes.h"
#include "platform/files.h"
#include "session/patcher.h"
#include "tests/support/quiet_client.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using korvel::fuzz::scratchFolder;

bool unsafePath(const std::string& value) {
  if (value.empty()) return false;
  if (value[0] == '/' || value[0] == '\\') return true;
  return value.find("..") != std::string::npos || value.find_first_of(":~$%") != std::string::npos;
}

// Whether the element or any element below it names a server or an unsafe path (also through the
// document type's default values, which the model's readers see too).
bool leavesTheSandbox(const xmlNode* node, int depth) {
  static const char* const kPathAttributes[] = {"Name", "LocalName", "LocalPath", "Root", "XtraFile", "TempFilename"};
  // Far deeper than the model goes: not worth walking, not worth loading.
  if (depth > 4096) return true;
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (korvel::readText(node, "Server")) return true;
    for (const char* name : kPathAttributes)
      if (const auto value = korvel::readText(node, name); value && unsafePath(*value)) return true;
    if (leavesTheSandbox(node->children, depth + 1)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  unsetenv("KORVEL_MANIFEST_KEY");
  unsetenv("KORVEL_REGISTRY");
  korvel::fuzz::silenceXmlErrors();
  korvel::fuzz::makeScratchFolder("manifest-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool skip = [&] {
    const korvel::XmlDocument probe(xmlParseMemory(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    return probe && leavesTheSandbox(probe->children, 0);
  }();
  if (skip) return -1;

  korvel::fuzz::emptyScratchFolder();
  const std::string manifest = scratchFolder() + "\\m.xml";
  const std::string game = scratchFolder() + "\\game";
  if (!korvel::fuzz::writeWhole(manifest, data, size) || !korvel::platform::createDirectory(game))
    korvel::fuzz::fail("the scratch folder cannot be written");
  {
    // The session's notifications are not what this target looks at; its log has no channel attached.
    korvel::test::QuietClient client;
    korvel::Patcher* patcher = client.patcher();
    if (!patcher) korvel::fuzz::fail("no session");
    // The front end's root wins over the manifest's: the installation is the scratch game folder.
    patcher->setDistributionPath(nullptr, game.c_str());
    if (client.openLocalManifest(manifest.c_str(), korvel::Patcher::kWaitFlag)) {
      client.updateAmount(nullptr, 0);
      patcher->walks().largestFileSpace(nullptr, 0);
    }
  }
  static const std::set<std::string> kExpected = {"m.xml", "PatchTest.xml", "game"};
  for (const std::string& name : korvel::fuzz::scratchNames())
    if (!kExpected.count(name)) korvel::fuzz::fail("the load left a file beside the installation");
  korvel::fuzz::emptyScratchFolder();
  return 0;
}
