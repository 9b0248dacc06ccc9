// Writes one gzip member to a file, byte for byte the same for the same input.
#include "tools/publish/gzip_file_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvel::publish {

namespace {

constexpr std::size_t kOutputChunk = 256 * 1024;
// "Unknown" operating system: the same header whichever machine publishes.
constexpr int kGzipOsByte = 255;

}  // namespace

GzipFileWriter::GzipFileWriter(int level) : level_(level) {}

GzipFileWriter::~GzipFileWriter() = default;

bool GzipFileWriter::fail(const std::string& text) {
  if (!failed_) error_ = text;
  failed_ = true;
  return false;
}

bool GzipFileWriter::open(const std::filesystem::path& path) {
  path_ = path;
  file_.reset(std::fopen(path.string().c_str(), "wb"));
  if (!file_) return fail("cannot create " + path.string() + ": " + std::strerror(errno));
  // windowBits 15 + 16 asks zlib for a gzip wrapper; the header below replaces its defaults.
  if (stream_.start(level_, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return fail("cannot start compression for " + path.string());
  }
  // zlib reads the header when it writes it, during the first deflate call: it lives in the object.
  header_ = gz_header{};
  header_.time = 0;
  header_.os = kGzipOsByte;
  if (deflateSetHeader(stream_.get(), &header_) != Z_OK) return fail("cannot set the gzip header for " + path.string());
  out_.resize(kOutputChunk);
  crc_ = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  return true;
}

bool GzipFileWriter::deflateSome(int flush) {
  for (;;) {
    stream_->next_out = out_.data();
    stream_->avail_out = static_cast<uInt>(out_.size());
    int status = deflate(stream_.get(), flush);
    if (status == Z_STREAM_ERROR) return fail("compression failed for " + path_.string());
    std::size_t produced = out_.size() - stream_->avail_out;
    if (produced > 0) {
      if (std::fwrite(out_.data(), 1, produced, file_.get()) != produced) {
        return fail("cannot write " + path_.string() + ": " + std::strerror(errno));
      }
      compressedSize_ += produced;
    }
    if (flush == Z_FINISH) {
      if (status == Z_STREAM_END) return true;
    } else if (stream_->avail_in == 0 && stream_->avail_out != 0) {
      return true;
    }
  }
}

bool GzipFileWriter::write(const void* data, std::size_t length) {
  if (failed_ || !stream_.started()) return fail("write to a gzip file that is not open");
  const auto* bytes = static_cast<const Bytef*>(data);
  // zlib counts in uInt; feed very large blocks in slices.
  while (length > 0) {
    uInt slice = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
    crc_ = static_cast<std::uint32_t>(crc32(crc_, bytes, slice));
    rawDigest_.update(bytes, slice);
    stream_->next_in = const_cast<Bytef*>(bytes);
    stream_->avail_in = slice;
    if (!deflateSome(Z_NO_FLUSH)) return false;
    rawSize_ += slice;
    bytes += slice;
    length -= slice;
  }
  return true;
}

bool GzipFileWriter::finish() {
  if (failed_ || !stream_.started()) return fail("finish of a gzip file that is not open");
  stream_->next_in = Z_NULL;
  stream_->avail_in = 0;
  bool ok = deflateSome(Z_FINISH);
  stream_.end();
  sha256_ = rawDigest_.finishHex();
  if (sha256_.size() != trust::Sha256::kHexLength && ok) ok = fail("cannot hash " + path_.string());
  std::FILE* file = file_.release();
  if (std::fclose(file) != 0 && ok) return fail("cannot close " + path_.string() + ": " + std::strerror(errno));
  return ok;
}

}  // namespace korvel::publish
