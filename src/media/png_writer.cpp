// Grey mattes out: 8-bit RGBA PNG tagged sRGB through libpng, written beside and renamed.
//
// A 12-megapixel matte is 48 MB of RGBA to filter and deflate, the largest single-threaded step
// left at the end of a run. The rows are cut into bands that are deflated on their own threads,
// each band ending on a byte boundary (a sync flush), and the bands' raw deflate streams joined
// into the one zlib stream of the IDAT data: any PNG reader inflates it as usual. libpng writes
// the file around it: signature, header, sRGB tag and the chunks.
#include "media/picture.h"

#include "base/cancel.h"
#include "base/events.h"
#include "base/files.h"

#include <png.h>
#include <zlib.h>

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace tv {
namespace {

// A band is at least this many pixels: below it a thread costs more than it saves.
constexpr size_t kLeastBandPixels = size_t(1) << 20;
// PNG chunks hold at most 2^31 - 1 bytes; IDAT data is cut well below that.
constexpr size_t kChunkBytes = size_t(1) << 30;

void appendBigEndian(std::string& out, uint32_t value) {
  const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
  out.append(bytes, 4);
}

// libpng reports through these: errors jump back to the writer, warnings are dropped (nothing
// may reach standard error).
[[noreturn]] void pngFailed(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngWarned(png_structp, png_const_charp) {}

void pngAppend(png_structp png, png_bytep data, png_size_t length) {
  bool grown = true;
  try {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    grown = false;  // no exception may cross libpng's C frames
  }
  if (!grown) png_error(png, "out of memory");
}
void pngFlush(png_structp) {}

// The file around the deflated rows `idat` (a whole zlib stream); false when libpng fails. Only
// plain data lives across the setjmp, so the jump back leaves nothing to unwind.
bool writePngAround(const std::string& idat, int width, int height, std::string& bytes) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &bytes, pngAppend, pngFlush);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  png_write_info(png, info);
  for (size_t at = 0; at < idat.size(); at += kChunkBytes)
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"),
                    reinterpret_cast<png_const_bytep>(idat.data() + at),
                    std::min(kChunkBytes, idat.size() - at));
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
  png_destroy_write_struct(&png, &info);
  return true;
}

struct Band {
  std::string deflated;
  uLong adler = 1;
  size_t length = 0;  // filtered bytes fed in
  bool ok = false;
};

struct DeflateEnd {
  void operator()(z_stream* stream) const {
    deflateEnd(stream);
    delete stream;
  }
};

// Deflates rows [first, last) of `value` as RGBA, each row with the left-neighbour filter:
// mattes are long runs of one value, which the filter turns into zeros and run-length deflate
// packs at a fraction of the default effort. The last band finishes the stream.
void deflateRows(const cv::Mat& value, int first, int last, bool finish, Band& band) {
  try {
    std::unique_ptr<z_stream, DeflateEnd> stream(new z_stream{});
    if (deflateInit2(stream.get(), 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK) {
      delete stream.release();
      return;
    }
    const size_t rowBytes = 1 + size_t(value.cols) * 4;
    std::vector<Bytef> row(rowBytes);
    std::vector<Bytef> out(size_t(1) << 18);
    auto pump = [&](int flush) {
      do {
        stream->next_out = out.data();
        stream->avail_out = uInt(out.size());
        const int status = deflate(stream.get(), flush);
        if (status == Z_STREAM_ERROR) return false;
        band.deflated.append(reinterpret_cast<const char*>(out.data()),
                             out.size() - stream->avail_out);
      } while (stream->avail_out == 0);
      return true;
    };
    for (int y = first; y < last; ++y) {
      const uint8_t* v = value.ptr<uint8_t>(y);
      Bytef* o = row.data();
      *o++ = 1;  // the Sub filter
      uint8_t before = 0;
      for (int x = 0; x < value.cols; ++x, o += 4) {
        const uint8_t d = uint8_t(v[x] - before);
        o[0] = o[1] = o[2] = d;
        o[3] = x == 0 ? 255 : 0;
        before = v[x];
      }
      band.adler = adler32_z(band.adler, row.data(), rowBytes);
      band.length += rowBytes;
      stream->next_in = row.data();
      stream->avail_in = uInt(rowBytes);
      if (!pump(Z_NO_FLUSH)) return;
    }
    if (!pump(finish ? Z_FINISH : Z_SYNC_FLUSH)) return;
    band.ok = true;
  } catch (const std::bad_alloc&) {
    band.ok = false;  // no exception leaves a band's thread
  }
}

}  // namespace

std::string greyPng(const cv::Mat& matte) {
  if (matte.empty()) return {};
  cv::Mat value;
  if (matte.channels() == 1) value = matte;
  else cv::extractChannel(matte, value, matte.channels() >= 3 ? 2 : 0);  // red of BGR(A)
  if (value.depth() != CV_8U) value.convertTo(value, CV_8U);
  try {
    const size_t pixels = value.total();
    const int threads = std::max(1, std::min(cv::getNumberOfCPUs(), 4));
    const int bands = int(std::clamp<size_t>(pixels / kLeastBandPixels, 1, size_t(threads)));
    std::vector<Band> done(static_cast<size_t>(bands));
    std::vector<std::thread> workers;
    auto firstRow = [&](int b) { return int(int64_t(value.rows) * b / bands); };
    for (int b = 1; b < bands; ++b) {
      try {
        workers.emplace_back(deflateRows, std::cref(value), firstRow(b), firstRow(b + 1),
                             b == bands - 1, std::ref(done[size_t(b)]));
      } catch (const std::system_error&) {
        // no thread to be had: this one deflates the band itself
        deflateRows(value, firstRow(b), firstRow(b + 1), b == bands - 1, done[size_t(b)]);
      }
    }
    deflateRows(value, 0, firstRow(1), bands == 1, done[0]);
    for (auto& worker : workers) worker.join();

    std::string idat;
    idat.push_back(char(0x78));  // deflate, 32 KiB window, fastest level
    idat.push_back(char(0x01));
    uLong adler = 1;
    for (const Band& band : done) {
      if (!band.ok) return {};
      idat += band.deflated;
      adler = adler32_combine(adler, band.adler, z_off_t(band.length));
    }
    done.clear();
    appendBigEndian(idat, uint32_t(adler));

    std::string bytes;
    bytes.reserve(idat.size() + 128);
    if (!writePngAround(idat, value.cols, value.rows, bytes)) return {};
    return bytes;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

void writeGrey(const cv::Mat& matte, const std::string& path) {
  checkCancelled();  // a cancelled run writes nothing
  std::string bytes = greyPng(matte);
  if (bytes.empty()) fail("cannot write " + path + ": cannot encode the PNG");
  if (auto problem = writeFileReplacing(path, bytes)) fail("cannot write " + path + ": " + *problem);
}

}  // namespace tv
