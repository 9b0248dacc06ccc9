// Tests of the patch tree build: what the manifest says and how the updater's rules resolve it, the
// stored files and delta data, determinism, and the inputs that are refused.
#include "tools/publish/patch_tree_builder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include "tests/support/temp_dir.h"
#include "tests/tools/delta_reference_decoder.h"
#include "tests/tools/publish_fixture.h"
#include "tools/publish/static_server.h"
#include "tools/publish/time_stamp_text.h"
#include "trust/sha256.h"

namespace korvel::publish {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::uint32_t crcOf(const Bytes& data) {
  return static_cast<std::uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size())));
}

class PatchTreeBuilderTest : public test::TempDirTest {
 protected:
  fs::path root() const { return fs::path(dir.native()); }
  fs::path game() const { return root() / "game"; }
  fs::path out() const { return root() / "out"; }

  void put(const std::string& relative, const Bytes& data, std::int64_t modified = 1600000000) {
    test::writeBytes(game() / relative, data);
    test::setModifiedTime(game() / relative, modified);
  }

  BuildOptions options(const fs::path& output) const {
    BuildOptions o;
    o.gameFolder = game();
    o.outputFolder = output;
    o.threads = 2;
    return o;
  }

  BuildReport build(BuildOptions o) {
    BuildReport report = PatchTreeBuilder(std::move(o)).build();
    for (const auto& error : report.errors) ADD_FAILURE() << "build error: " << error;
    return report;
  }

  // Expects the build to fail with an error mentioning `needle`, and to have published nothing.
  void expectRefused(const std::string& needle, BuildOptions o) {
    fs::path output = o.outputFolder;
    BuildReport report = PatchTreeBuilder(std::move(o)).build();
    EXPECT_FALSE(report.ok);
    bool mentioned = std::any_of(report.errors.begin(), report.errors.end(),
                                 [&](const std::string& e) { return e.find(needle) != std::string::npos; });
    EXPECT_TRUE(mentioned) << "no error mentions \"" << needle << "\"";
    EXPECT_FALSE(fs::exists(output / "patch" / "wendrel" / "wendrelonly.xml.gz"));
    EXPECT_FALSE(fs::exists(output / ".korvel-publish-staging"));
  }

  test::ResolvedManifest manifestOf(const fs::path& output) {
    return test::resolveManifest(output / "patch" / "wendrel" / "wendrelonly.xml.gz", "Wendrel Distribution");
  }
};

const test::ResolvedFile* fileAt(const test::ResolvedManifest& manifest, const std::string& localPath) {
  for (const auto& file : manifest.files) {
    if (file.localPath == localPath) return &file;
  }
  return nullptr;
}

TEST_F(PatchTreeBuilderTest, EveryFileResolvesWithTheUpdaterRulesToAServedGzipOfItsContent) {
  std::map<std::string, Bytes> originals = {
      {"Wendrel.exe", test::randomBytes(70000, 1)},
      {"Data/big.pak", test::randomBytes(300000, 2, 7)},
      {"Data/Maps/level one.map", test::randomBytes(5000, 3)},
      {"Data/Maps/100%[x]#2.map", test::randomBytes(10, 4)},
      {"Data/empty.txt", {}},
      {"My Docs/readme.txt", {'h', 'i'}},
  };
  for (const auto& [relative, data] : originals) put(relative, data);
  fs::create_directories(game() / "Data" / "Unused");

  BuildReport report = build(options(out()));
  ASSERT_TRUE(report.ok);
  EXPECT_EQ(report.files, originals.size());
  EXPECT_EQ(report.folders, 4u);

  test::ResolvedManifest manifest = manifestOf(out());
  ASSERT_TRUE(manifest.ok) << manifest.error;
  EXPECT_EQ(manifest.rootAttributes["Version"], "1");
  EXPECT_EQ(manifest.productAttributes["Name"], "Wendrel");
  EXPECT_EQ(manifest.productAttributes["Version"], "1");
  // A distribution with a RemotePath and no children would be fetched as an external document.
  EXPECT_EQ(manifest.distributionAttributes.count("RemotePath"), 0u);
  ASSERT_EQ(manifest.files.size(), originals.size());
  std::set<std::string> folders(manifest.directoryLocalPaths.begin(), manifest.directoryLocalPaths.end());
  EXPECT_EQ(folders, (std::set<std::string>{"Data", "Data\\Maps", "Data\\Unused", "My Docs"}));

  std::ostringstream log;
  StaticServer server(out(), log);
  ASSERT_TRUE(server.bind("127.0.0.1", 0)) << server.error();
  std::thread listener([&] { server.serve(); });
  httplib::Client client("127.0.0.1", server.port());
  for (const auto& [relative, data] : originals) {
    std::string localPath = relative;
    std::replace(localPath.begin(), localPath.end(), '/', '\\');
    SCOPED_TRACE(localPath);
    const test::ResolvedFile* file = fileAt(manifest, localPath);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->remotePath.rfind("patch\\wendrel\\files\\", 0), 0u) << file->remotePath;
    auto response = client.Get(test::updaterUrlPath(file->remotePath));
    ASSERT_TRUE(response);
    ASSERT_EQ(response->status, 200) << test::updaterUrlPath(file->remotePath);
    fs::path downloaded = root() / "downloaded.gz";
    test::writeBytes(downloaded, Bytes(response->body.begin(), response->body.end()));
    EXPECT_EQ(test::gunzipFile(downloaded), data);
    EXPECT_EQ(file->attributes.at("TotalSize"), std::to_string(data.size()));
    EXPECT_EQ(file->attributes.at("DownloadSize"), std::to_string(response->body.size()));
    EXPECT_EQ(file->attributes.at("Compressed"), "true");
    EXPECT_EQ(file->crc, crcOf(data));
  }
  server.stop();
  listener.join();
}

TEST_F(PatchTreeBuilderTest, TheRemoteRootAndManifestPathAreOptions) {
  put("a.bin", {1, 2, 3});
  put("Sub/b.bin", {4});
  BuildOptions o = options(out());
  o.remoteRoot = "";
  o.manifestPath = "m/manifest.gz";
  o.productName = "Other";
  o.productVersion = 42;
  o.distributionName = "Other Distribution";
  ASSERT_TRUE(build(o).ok);
  test::ResolvedManifest manifest = test::resolveManifest(out() / "m" / "manifest.gz", "Other Distribution");
  ASSERT_TRUE(manifest.ok) << manifest.error;
  EXPECT_EQ(manifest.productAttributes["Name"], "Other");
  EXPECT_EQ(manifest.productAttributes["Version"], "42");
  ASSERT_NE(fileAt(manifest, "a.bin"), nullptr);
  EXPECT_EQ(fileAt(manifest, "a.bin")->remotePath, "a.bin");
  EXPECT_EQ(fileAt(manifest, "Sub\\b.bin")->remotePath, "Sub\\b.bin");
  EXPECT_EQ(test::gunzipFile(out() / "Sub" / "b.bin"), Bytes{4});
}

TEST_F(PatchTreeBuilderTest, TwoBuildsAreByteIdenticalWhateverTheThreadCount) {
  for (int i = 0; i < 12; ++i) put("Data/f" + std::to_string(i) + ".bin", test::randomBytes(20000 + i * 3000, 10 + i, 16));
  put("Data/z.bin", test::randomBytes(100000, 30));
  test::writeBytes(root() / "v1" / "Data" / "z.bin", test::randomBytes(90000, 30));
  test::writeBytes(root() / "v1" / "Data" / "f3.bin", test::randomBytes(20000 + 9000, 13, 16));
  BuildOptions first = options(root() / "out1");
  first.threads = 1;
  first.previousFolders = {root() / "v1"};
  BuildOptions second = first;
  second.outputFolder = root() / "out2";
  second.threads = 2;
  ASSERT_TRUE(build(first).ok);
  ASSERT_TRUE(build(second).ok);
  auto a = test::snapshotTree(root() / "out1");
  auto b = test::snapshotTree(root() / "out2");
  EXPECT_EQ(a.size(), 15u);
  EXPECT_TRUE(a == b);
  // Nothing of the build's time or machine: gzip modification time 0, "unknown" operating system.
  for (const auto& [name, bytes] : a) {
    ASSERT_GE(bytes.size(), 10u) << name;
    EXPECT_EQ(Bytes(bytes.begin() + 3, bytes.begin() + 8), Bytes(5, 0)) << name;
    EXPECT_EQ(bytes[9], 0xFF) << name;
  }
}

TEST_F(PatchTreeBuilderTest, AManifestTooLargeForTheUpdaterIsCompactedOrItsContentsGoIntoAnExternalDocument) {
  for (int i = 0; i < 20; ++i) put("Folder/file" + std::to_string(i) + ".bin", {static_cast<std::uint8_t>(i)});
  BuildOptions roomy = options(root() / "roomy");
  ASSERT_TRUE(build(roomy).ok);
  const std::uint64_t indented = PatchTreeBuilder(roomy).build().manifestBytes;
  const test::ResolvedManifest single = manifestOf(root() / "roomy");
  ASSERT_EQ(single.files.size(), 20u);

  BuildOptions tight = options(root() / "tight");
  tight.manifestLimit = indented - 1;
  BuildReport compacted = build(tight);
  ASSERT_TRUE(compacted.ok);
  EXPECT_LT(compacted.manifestBytes, indented);
  EXPECT_TRUE(compacted.contentsFile.empty());
  EXPECT_EQ(manifestOf(root() / "tight").files.size(), 20u);

  // Too large even without indentation: the product names an external document beside the manifest
  // and has no content at all; that document gives every file the same paths as the single manifest.
  BuildOptions tooSmall = options(root() / "small");
  tooSmall.manifestLimit = 1000;
  BuildReport split = build(tooSmall);
  ASSERT_TRUE(split.ok);
  const test::ResolvedManifest pointer = manifestOf(root() / "small");
  EXPECT_FALSE(pointer.productHasChildren);
  const std::string remote = pointer.productAttributes.at("RemotePath");
  EXPECT_EQ(remote.rfind("patch\\wendrel\\wendrelonly-contents-", 0), 0u) << remote;
  const fs::path served = root() / "small" / test::updaterUrlPath(remote).substr(1);
  ASSERT_TRUE(fs::exists(served)) << served;
  EXPECT_TRUE(fs::equivalent(served, split.contentsFile));
  const test::ResolvedManifest contents = test::resolveManifest(served, "Wendrel Distribution");
  ASSERT_TRUE(contents.ok) << contents.error;
  // The updater re-reads the external product element with an absent "UseCRC" taken as false.
  EXPECT_EQ(contents.productAttributes.at("UseCRC"), "true");
  EXPECT_EQ(contents.productAttributes.count("RemotePath"), 0u);
  EXPECT_EQ(contents.productAttributes.count("Port"), 0u);
  ASSERT_EQ(contents.files.size(), single.files.size());
  for (std::size_t i = 0; i < single.files.size(); ++i) {
    EXPECT_EQ(contents.files[i].localPath, single.files[i].localPath);
    EXPECT_EQ(contents.files[i].remotePath, single.files[i].remotePath);
  }
  EXPECT_EQ(contents.directoryLocalPaths, single.directoryLocalPaths);

  BuildOptions tiny = options(root() / "tiny");
  tiny.manifestLimit = 100;
  expectRefused("the updater reads at most 100", tiny);
}

TEST_F(PatchTreeBuilderTest, CrcIsTheSignedDecimalForm) {
  put("check.txt", {'1', '2', '3', '4', '5', '6', '7', '8', '9'});
  ASSERT_TRUE(build(options(out())).ok);
  test::ResolvedManifest manifest = manifestOf(out());
  ASSERT_EQ(manifest.files.size(), 1u);
  // CRC-32 of "123456789" is 0xcbf43926.
  EXPECT_EQ(manifest.files[0].attributes.at("CRC"), "-873187034");
}

TEST_F(PatchTreeBuilderTest, TimeStampIsTheTextOfTheModificationTime) {
  put("old.txt", {1}, 1100652449);
  put("epoch.txt", {2}, 0);
  BuildReport report = build(options(out()));
  ASSERT_TRUE(report.ok);
  test::ResolvedManifest manifest = manifestOf(out());
  EXPECT_EQ(fileAt(manifest, "old.txt")->attributes.at("TimeStamp"), timeStampText(1100652449).value());
  // No time stamp the updater could read: the attribute is left out (and said so).
  EXPECT_EQ(fileAt(manifest, "epoch.txt")->attributes.count("TimeStamp"), 0u);
  EXPECT_EQ(report.warnings.size(), 1u);
}

TEST_F(PatchTreeBuilderTest, ChangedFilesGetDeltaDataThatRebuildsThemFromEachEarlierVersion) {
  Bytes v1 = test::randomBytes(400000, 40);
  Bytes v2 = v1;
  v2.insert(v2.begin() + 1000, 300, 0xAB);
  Bytes v3 = v2;
  v3.erase(v3.begin() + 200000, v3.begin() + 201000);
  v3[300000] ^= 1;
  put("Data/game.pak", v3);
  put("same.txt", {'s'});
  put("replaced.bin", test::randomBytes(50000, 41));
  for (const char* version : {"v1", "v1copy"}) {
    test::writeBytes(root() / version / "Data" / "game.pak", v1);
    test::writeBytes(root() / version / "same.txt", {'s'});
    test::writeBytes(root() / version / "replaced.bin", test::randomBytes(50000, 42));
  }
  test::writeBytes(root() / "v2" / "Data" / "game.pak", v2);
  BuildOptions o = options(out());
  o.previousFolders = {root() / "v1", root() / "v1copy", root() / "v2"};
  BuildReport report = build(o);
  ASSERT_TRUE(report.ok);
  EXPECT_EQ(report.deltas, 2u);
  EXPECT_EQ(report.deltasNotSmaller, 1u);

  test::ResolvedManifest manifest = manifestOf(out());
  const test::ResolvedFile* pak = fileAt(manifest, "Data\\game.pak");
  ASSERT_NE(pak, nullptr);
  ASSERT_EQ(pak->deltas.size(), 2u);
  std::map<std::uint32_t, const Bytes*> olds = {{crcOf(v1), &v1}, {crcOf(v2), &v2}};
  for (const auto& delta : pak->deltas) {
    ASSERT_EQ(olds.count(delta.crc), 1u) << "delta from an unknown version";
    fs::path stored = out() / fs::path(test::updaterUrlPath(delta.remotePath).substr(1));
    EXPECT_EQ(delta.remotePath.rfind("patch\\wendrel\\files\\Data\\game.pak_", 0), 0u);
    EXPECT_EQ(static_cast<std::uint64_t>(delta.downloadSize), fs::file_size(stored));
    auto data = test::gunzipFile(stored);
    ASSERT_TRUE(data);
    EXPECT_EQ(static_cast<std::size_t>(delta.totalSize), data->size());
    EXPECT_LT(delta.downloadSize, std::stol(pak->attributes.at("DownloadSize")));
    test::DecodedDelta rebuilt = test::DeltaReferenceDecoder::apply(*olds[delta.crc], *data);
    ASSERT_TRUE(rebuilt.ok) << rebuilt.error;
    EXPECT_TRUE(rebuilt.data == v3);
  }
  EXPECT_TRUE(fileAt(manifest, "same.txt")->deltas.empty());
  EXPECT_TRUE(fileAt(manifest, "replaced.bin")->deltas.empty());
  // A delta no smaller than the file is not published at all.
  for (const auto& entry : fs::directory_iterator(out() / "patch" / "wendrel" / "files")) {
    EXPECT_EQ(entry.path().filename().string().find("replaced.bin_"), std::string::npos);
  }
}

TEST_F(PatchTreeBuilderTest, AnEmptyGameFolderGivesAnEmptyDistribution) {
  fs::create_directories(game());
  ASSERT_TRUE(build(options(out())).ok);
  test::ResolvedManifest manifest = manifestOf(out());
  ASSERT_TRUE(manifest.ok) << manifest.error;
  EXPECT_TRUE(manifest.files.empty());
  EXPECT_EQ(manifest.distributionAttributes.count("RemotePath"), 0u);
}

class RefusedNameTest : public PatchTreeBuilderTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RefusedNameTest, NamesTheUpdaterCannotCarryAreRefused) {
  put("good.txt", {1});
  put("Data/" + GetParam(), {2});
  expectRefused(GetParam(), options(out()));
}

INSTANTIATE_TEST_SUITE_P(PatchTreeBuilder, RefusedNameTest,
                         ::testing::Values("a:b.txt", "back\\slash", "star*.txt", "what?.txt", "quote\".txt",
                                           "less<.txt", "pipe|.txt", "tab\t.txt", "bell\x07", "trailing.",
                                           "trailing ", "CON", "con.txt", "com1.txt", "Nul.dat", "caf\xc3\xa9.txt",
                                           "wd_patch_lock", "WD_Patch_Version", "CONOUT$"));

TEST_F(PatchTreeBuilderTest, NamesDifferingOnlyInLetterCaseAreRefused) {
  put("Data/Music.ogg", {1});
  put("Data/music.OGG", {2});
  expectRefused("letter case", options(out()));
}

TEST_F(PatchTreeBuilderTest, UnreadableEntriesAreRefused) {
  put("ok.txt", {1});
  fs::create_directories(game() / "Data");
  fs::create_symlink(root() / "nowhere", game() / "Data" / "dangling.bin");
  fs::create_directories(root() / "elsewhere");
  fs::create_directory_symlink(root() / "elsewhere", game() / "linked");
  BuildReport report = PatchTreeBuilder(options(out())).build();
  EXPECT_FALSE(report.ok);
  ASSERT_EQ(report.errors.size(), 2u);
  EXPECT_NE(report.errors[0].find("dangling.bin: cannot be read"), std::string::npos) << report.errors[0];
  EXPECT_NE(report.errors[1].find("symbolic link to a folder"), std::string::npos) << report.errors[1];
}

// Writes `data` into an existing file at `offset` (a sparse file keeps its holes elsewhere).
void writeAt(const fs::path& path, std::uint64_t offset, const Bytes& data) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(file.good()) << "cannot write " << path;
}

// What expanding a published body gives, read in pieces: its size, CRC-32 and SHA-256, and whether it
// equals the source file byte for byte.
struct Expansion {
  bool ok = false;
  bool sameAsSource = false;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::string sha256;
};

Expansion expandAgainst(const fs::path& body, const fs::path& source) {
  Expansion result;
  gzFile file = gzopen(body.string().c_str(), "rb");
  if (!file) return result;
  std::ifstream original(source, std::ios::binary);
  std::vector<char> expanded(1 << 20);
  std::vector<char> expected(expanded.size());
  trust::Sha256 digest;
  result.crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  result.sameAsSource = true;
  int n = 0;
  while ((n = gzread(file, expanded.data(), static_cast<unsigned>(expanded.size()))) > 0) {
    const auto got = static_cast<std::size_t>(n);
    result.crc = static_cast<std::uint32_t>(crc32(result.crc, reinterpret_cast<const Bytef*>(expanded.data()), n));
    digest.update(expanded.data(), got);
    result.size += got;
    original.read(expected.data(), n);
    if (static_cast<std::size_t>(original.gcount()) != got || !std::equal(expanded.begin(), expanded.begin() + n, expected.begin()))
      result.sameAsSource = false;
  }
  original.peek();
  if (!original.eof()) result.sameAsSource = false;
  result.ok = n == 0 && gzclose(file) == Z_OK;
  result.sha256 = digest.finishHex();
  return result;
}

TEST_F(PatchTreeBuilderTest, AFileAboveFourGigabytesIsPublishedWholeWithItsSizeChecksumAndDigest) {
  // Sparse: only the written blocks take disk space, around both 32-bit boundaries and at the end.
  const std::uint64_t size = (4ull << 30) + (1 << 20) + 17;
  put("Data/huge.pak", {});
  fs::resize_file(game() / "Data" / "huge.pak", size);
  writeAt(game() / "Data" / "huge.pak", 0, test::randomBytes(4096, 50));
  writeAt(game() / "Data" / "huge.pak", (2ull << 30) - 2048, test::randomBytes(4096, 51));
  writeAt(game() / "Data" / "huge.pak", (4ull << 30) - 2048, test::randomBytes(4096, 52));
  writeAt(game() / "Data" / "huge.pak", size - 4096, test::randomBytes(4096, 53));
  test::setModifiedTime(game() / "Data" / "huge.pak", 1600000000);
  // An earlier version of another size: delta data cannot describe either, so there is none.
  test::writeBytes(root() / "v1" / "Data" / "huge.pak", test::randomBytes(4096, 54));
  fs::resize_file(root() / "v1" / "Data" / "huge.pak", size - (1 << 20));
  BuildOptions o = options(out());
  o.previousFolders = {root() / "v1"};
  // Every level stores the same bytes; the fastest keeps the test short.
  o.compressionLevel = 1;
  BuildReport report = build(o);
  ASSERT_TRUE(report.ok);
  EXPECT_EQ(report.rawBytes, size);
  EXPECT_EQ(report.deltas, 0u);
  EXPECT_EQ(report.deltasNotSmaller, 0u);

  test::ResolvedManifest manifest = manifestOf(out());
  ASSERT_TRUE(manifest.ok) << manifest.error;
  const test::ResolvedFile* file = fileAt(manifest, "Data\\huge.pak");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->deltas.empty());
  const fs::path body = out() / fs::path(test::updaterUrlPath(file->remotePath).substr(1));
  EXPECT_EQ(file->attributes.at("TotalSize"), std::to_string(size));
  EXPECT_EQ(file->attributes.at("DownloadSize"), std::to_string(fs::file_size(body)));
  const Expansion expansion = expandAgainst(body, game() / "Data" / "huge.pak");
  ASSERT_TRUE(expansion.ok);
  EXPECT_EQ(expansion.size, size);
  EXPECT_TRUE(expansion.sameAsSource);
  EXPECT_EQ(file->crc, expansion.crc);
  EXPECT_EQ(file->attributes.at("SHA256"), expansion.sha256);
  for (const auto& entry : fs::directory_iterator(body.parent_path()))
    EXPECT_EQ(entry.path().extension(), ".pak") << entry.path();
}

TEST_F(PatchTreeBuilderTest, CollisionsWithPublishedNamesAreRefused) {
  put("a.pak", {1});
  put("a.pak_0badf00d.delta", {2});
  test::writeBytes(root() / "v1" / "a.pak", {3});
  BuildOptions withDeltas = options(out());
  withDeltas.previousFolders = {root() / "v1"};
  expectRefused("delta data of \"a.pak\"", withDeltas);

  fs::remove(game() / "a.pak_0badf00d.delta");
  BuildOptions manifestOverFile = options(out());
  manifestOverFile.remoteRoot = "";
  manifestOverFile.manifestPath = "A.PAK";
  expectRefused("collides", manifestOverFile);
}

TEST_F(PatchTreeBuilderTest, OutputInsideTheGameFolderIsRefused) {
  put("a.bin", {1});
  expectRefused("must not contain each other", options(game() / "published"));
}

TEST_F(PatchTreeBuilderTest, OverlongServerPathsAreRefused) {
  // Spaces take three characters each in the URL: short local paths, long server-side ones.
  put("x" + std::string(60, ' ') + "x/y" + std::string(60, ' ') + "y", {1});
  BuildOptions o = options(out());
  o.remoteRoot = std::string(100, 'r');
  expectRefused("server-side path", o);
}

}  // namespace
}  // namespace korvel::publish
