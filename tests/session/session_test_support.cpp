// The patch tree writer of the session tests.
#include "tests/session/session_test_support.h"

#include <map>
#include <set>

namespace korvel::test {

namespace {

std::string attributeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else if (c == '<') out += "&lt;";
    else out += c;
  }
  return out;
}

// The folders of a tree and the files directly in each, by folder path ("" for the top).
struct Folder {
  std::set<std::string> folders;
  std::vector<const TreeFile*> files;
};

void addElements(const std::map<std::string, Folder>& folders, const std::string& path, std::string& out) {
  const Folder& folder = folders.at(path);
  for (const TreeFile* file : folder.files) {
    const std::string name = file->path.substr(file->path.rfind('\\') == std::string::npos ? 0 : file->path.rfind('\\') + 1);
    const std::string compressed = TestHttpServer::gzip(file->content);
    out += "<File Name=\"" + attributeText(name) + "\" TotalSize=\"" + std::to_string(file->content.size()) +
           "\" DownloadSize=\"" + std::to_string(compressed.size()) + "\" CRC=\"" +
           std::to_string(static_cast<std::int32_t>(crcOf(file->content))) + "\" TimeStamp=\"" +
           timeStampText(file->time) + "\" Compressed=\"true\"/>";
  }
  for (const std::string& child : folder.folders) {
    const std::string name = child.substr(path.empty() ? 0 : path.size() + 1);
    out += "<Directory Name=\"" + attributeText(name) + "\">";
    addElements(folders, child, out);
    out += "</Directory>";
  }
}

}  // namespace

std::string PatchTree::manifest(const std::vector<TreeFile>& files, const std::string& productAttributes) {
  std::map<std::string, Folder> folders;
  folders[""];
  for (const TreeFile& file : files) {
    const std::size_t cut = file.path.rfind('\\');
    const std::string folder = cut == std::string::npos ? "" : file.path.substr(0, cut);
    folders[folder].files.push_back(&file);
    // Every folder on the way is a child of the one above it.
    std::string path = folder;
    while (!path.empty()) {
      const std::size_t up = path.rfind('\\');
      const std::string parent = up == std::string::npos ? "" : path.substr(0, up);
      folders[parent].folders.insert(path);
      folders[path];
      path = parent;
    }
  }
  std::string out = "<?xml version=\"1.0\"?><KorvelPatcher Version=\"1\"><Product Name=\"" + std::string(kProduct) +
                    "\" Version=\"1\" " + productAttributes + "><Distribution Name=\"" + kDistribution + "\">";
  addElements(folders, "", out);
  out += "</Distribution></Product></KorvelPatcher>";
  return out;
}

bool PatchTree::write(const std::string& serverRoot, const std::vector<TreeFile>& files,
                      const std::string& productAttributes) {
  for (const TreeFile& file : files) {
    if (!writeFile(serverRoot + "\\" + file.path, TestHttpServer::gzip(file.content))) return false;
  }
  return writeFile(serverRoot + "\\" + kManifestPath, TestHttpServer::gzip(manifest(files, productAttributes)));
}

}  // namespace korvel::test
