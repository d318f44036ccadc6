// Image files through OpenImageIO. Every output goes to a temporary name in
// its own folder and is renamed only once every byte is written and closed:
// a full disk, a quota or an interrupted run never leaves a damaged frame
// where a good one was.
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "cli/cli.h"

namespace {

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

// What a file says of its pixels: size, channels, sample type.
const ImageSpec& layoutOf(const ImageInput& in) { return in.spec(); }

TypeDesc typeOf(Sample sample) {
  switch (sample) {
    case Sample::U8:
      return TypeDesc::UINT8;
    case Sample::U16:
      return TypeDesc::UINT16;
    case Sample::Half:
      return TypeDesc::HALF;
    case Sample::Float:
      break;
  }
  return TypeDesc::FLOAT;
}

// Files pass their stored values through unchanged: no premultiplication of
// unassociated alpha on reading, none undone on writing.
ImageSpec rawAlphaConfig() {
  ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  return config;
}

std::string lastError(const std::string& fallback) {
  std::string message = OIIO::geterror();
  if (message.empty()) message = fallback;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

// Sets channel c of every pixel to the sample's 1.0.
void fillOpaque(const PixelView& view, int c) {
  const int bytes = sampleBytes(view.sample);
  const float one = 1.0f;
  const uint16_t halfOne = 0x3c00, shortOne = 0xffff;
  const uint8_t byteOne = 0xff;
  const void* value = view.sample == Sample::U8     ? static_cast<const void*>(&byteOne)
                      : view.sample == Sample::U16  ? static_cast<const void*>(&shortOne)
                      : view.sample == Sample::Half ? static_cast<const void*>(&halfOne)
                                                    : static_cast<const void*>(&one);
  for (int y = 0; y < view.height; ++y) {
    uint8_t* px = view.data + y * view.rowStride + c * bytes;
    for (int x = 0; x < view.width; ++x, px += view.channels * bytes) std::memcpy(px, value, bytes);
  }
}

// Writes every byte or reports why not.
bool writeAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string tempNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  std::string dir = dirName(path);
  return (dir == "." ? std::string() : dir + "/") + kTempMarker + std::to_string(getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + "-" + baseName(path);
}

// The encoder writes into memory when the format allows it, so every write
// to the file is our own and checked; otherwise it writes the temporary file
// itself and the file is read back whole to prove it.
bool encodeTo(const std::string& temp, const PixelView& from, const OutputFormat& format,
              std::string& error) {
  std::unique_ptr<ImageOutput> out = ImageOutput::create(format.format);
  if (!out) {
    error = lastError("no writer for " + format.format);
    return false;
  }
  ImageSpec layout(from.width, from.height, format.channels, typeOf(format.sample));
  layout.attribute("oiio:UnassociatedAlpha", 1);
  if (format.bits != static_cast<int>(layout.format.size() * 8))
    layout.attribute("oiio:BitsPerSample", format.bits);
  if (!format.compression.empty()) layout.attribute("compression", format.compression);
  const ptrdiff_t pixelBytes = static_cast<ptrdiff_t>(from.channels) * sampleBytes(from.sample);

  std::vector<unsigned char> memory;
  OIIO::Filesystem::IOVecOutput proxy(memory);
  const bool inMemory = out->supports("ioproxy") && out->set_ioproxy(&proxy);
  bool ok = out->open(temp, layout) &&
            out->write_image(typeOf(from.sample), from.data, pixelBytes, from.rowStride);
  ok = out->close() && ok;
  if (!ok) {
    error = out->geterror();
    if (error.empty()) error = "encoder failed";
    return false;
  }
  out.reset();
  if (!inMemory) {
    // Read back: a short write the encoder did not notice shows up here.
    std::vector<unsigned char> pixels(static_cast<size_t>(from.width) * from.height *
                                      format.channels * sampleBytes(format.sample));
    std::unique_ptr<ImageInput> in = ImageInput::open(temp);
    const bool whole =
        in && layoutOf(*in).width == from.width && layoutOf(*in).height == from.height &&
        in->read_image(0, 0, 0, format.channels, typeOf(format.sample), pixels.data());
    if (!whole) {
      error = "written file does not read back";
      return false;
    }
    return true;
  }
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  const bool written = writeAll(fd, memory.data(), memory.size());
  const int writeErrno = errno;
  if (::close(fd) != 0 || !written) {
    error = std::strerror(written ? errno : writeErrno);
    return false;
  }
  return true;
}

struct FormatRow {
  const char* name;         // OpenImageIO's format name
  const char* extension;    // with its dot
  const char* aliases[3];   // accepted by --format
  bool depths[4];           // U8, U16, Half, Float it can store
  const char* compression;  // default when converting into it
};

const FormatRow kFormats[] = {
    {"png", ".png", {"png", nullptr, nullptr}, {true, true, false, false}, ""},
    {"openexr", ".exr", {"exr", "openexr", nullptr}, {false, false, true, true}, "zip"},
    {"tiff", ".tif", {"tif", "tiff", nullptr}, {true, true, false, true}, "zip"},
    {"dpx", ".dpx", {"dpx", nullptr, nullptr}, {true, true, false, false}, ""},
    {"jpeg", ".jpg", {"jpg", "jpeg", nullptr}, {true, false, false, false}, ""},
};

const FormatRow* findFormat(const std::string& name) {
  for (const FormatRow& row : kFormats) {
    if (name == row.name) return &row;
    for (const char* alias : row.aliases)
      if (alias && name == alias) return &row;
  }
  return nullptr;
}

int sampleIndex(Sample s) { return static_cast<int>(s); }

}  // namespace

int sampleBytes(Sample sample) {
  switch (sample) {
    case Sample::U8:
      return 1;
    case Sample::U16:
    case Sample::Half:
      return 2;
    case Sample::Float:
      break;
  }
  return 4;
}

bool probeImage(const std::string& path, ImageInfo& info, std::string& error) {
  info = ImageInfo();
  ImageSpec config = rawAlphaConfig();
  std::unique_ptr<ImageInput> in = ImageInput::open(path, &config);
  if (!in) {
    error = path + ": cannot read image: " + lastError("unknown format");
    return false;
  }
  const ImageSpec& layout = layoutOf(*in);
  info.width = layout.width;
  info.height = layout.height;
  info.channels = layout.nchannels;
  info.format = in->format_name();
  info.compression = layout.get_string_attribute("compression");
  const TypeDesc type = layout.format;
  if (type == TypeDesc::HALF) {
    info.sample = Sample::Half;
  } else if (type.basetype == TypeDesc::FLOAT || type.basetype == TypeDesc::DOUBLE) {
    info.sample = Sample::Float;
  } else if (type.size() >= 2) {
    info.sample = Sample::U16;
  } else {
    info.sample = Sample::U8;
  }
  info.bits = layout.get_int_attribute("oiio:BitsPerSample", static_cast<int>(type.size() * 8));
  if (info.sample == Sample::U16 && (info.bits <= 8 || info.bits > 16)) info.bits = 16;
  if (info.width <= 0 || info.height <= 0 || info.channels <= 0) {
    error = path + ": image has no pixels";
    return false;
  }
  return true;
}

bool readImage(const std::string& path, const PixelView& into, std::string& error) {
  ImageSpec config = rawAlphaConfig();
  std::unique_ptr<ImageInput> in = ImageInput::open(path, &config);
  if (!in) {
    error = path + ": cannot read image: " + lastError("unknown format");
    return false;
  }
  const ImageSpec& layout = layoutOf(*in);
  if (layout.width != into.width || layout.height != into.height) {
    error = path + ": frame is " + std::to_string(layout.width) + "x" + std::to_string(layout.height) +
            ", the first frame is " + std::to_string(into.width) + "x" +
            std::to_string(into.height);
    return false;
  }
  const int bytes = sampleBytes(into.sample);
  const ptrdiff_t pixelBytes = static_cast<ptrdiff_t>(into.channels) * bytes;
  const TypeDesc type = typeOf(into.sample);
  const int stored = std::min(layout.nchannels, 4);
  bool ok = true;
  if (stored >= 3) {
    // Colour straight into place; a missing alpha is filled afterwards.
    const int take = std::min(stored, into.channels);
    ok = in->read_image(0, 0, 0, take, type, into.data, pixelBytes, into.rowStride);
    if (ok && take < into.channels) fillOpaque(into, 3);
  } else {
    // Gray (and gray + alpha): read as stored, then spread over R, G and B.
    std::vector<uint8_t> gray(static_cast<size_t>(layout.width) * layout.height * stored * bytes);
    ok = in->read_image(0, 0, 0, stored, type, gray.data());
    for (int y = 0; ok && y < layout.height; ++y) {
      const uint8_t* src = &gray[static_cast<size_t>(y) * layout.width * stored * bytes];
      uint8_t* dst = into.data + y * into.rowStride;
      for (int x = 0; x < layout.width; ++x, src += stored * bytes, dst += pixelBytes) {
        for (int c = 0; c < 3; ++c) std::memcpy(dst + c * bytes, src, bytes);
        if (into.channels == 4 && stored == 2) std::memcpy(dst + 3 * bytes, src + bytes, bytes);
      }
    }
    if (ok && into.channels == 4 && stored == 1) fillOpaque(into, 3);
  }
  if (!ok) {
    std::string why = in->geterror();
    error = path + ": cannot decode image: " + (why.empty() ? "read failed" : why);
    return false;
  }
  return true;
}

bool chooseOutputFormat(const ImageInfo& input, const std::string& format, const std::string& depth,
                        OutputFormat& out, std::string& error) {
  const FormatRow* row = findFormat(format.empty() ? input.format : format);
  if (!row) {
    error = format.empty() ? "cannot write " + input.format + " files"
                           : "--format wants png, exr, dpx, tif or jpg, not '" + format + "'";
    return false;
  }
  out = OutputFormat();
  out.format = row->name;
  out.channels = input.channels == 2 || input.channels >= 4 ? 4 : 3;
  if (out.format == "jpeg") out.channels = 3;
  const bool sameFormat = out.format == input.format;
  out.compression = sameFormat ? input.compression : row->compression;
  if (!depth.empty()) {
    const std::pair<const char*, Sample> depths[] = {
        {"8", Sample::U8}, {"16", Sample::U16}, {"half", Sample::Half}, {"float", Sample::Float}};
    bool known = false;
    for (const auto& d : depths)
      if (depth == d.first) known = true, out.sample = d.second;
    if (!known) {
      error = "--out-depth wants 8, 16, half or float, not '" + depth + "'";
      return false;
    }
    if (!row->depths[sampleIndex(out.sample)]) {
      error = std::string("--out-depth ") + depth + ": " + row->name + " files cannot store it";
      return false;
    }
    out.bits = sampleBytes(out.sample) * 8;
    return true;
  }
  out.sample = input.sample;
  out.bits = input.bits;
  if (!row->depths[sampleIndex(out.sample)]) {
    // The nearest depth the format stores: more precision rather than less.
    static const Sample order[4][4] = {
        {Sample::U8, Sample::U16, Sample::Half, Sample::Float},
        {Sample::U16, Sample::Float, Sample::Half, Sample::U8},
        {Sample::Half, Sample::Float, Sample::U16, Sample::U8},
        {Sample::Float, Sample::Half, Sample::U16, Sample::U8},
    };
    for (Sample s : order[sampleIndex(input.sample)]) {
      if (row->depths[sampleIndex(s)]) {
        out.sample = s;
        break;
      }
    }
    out.bits = sampleBytes(out.sample) * 8;
  }
  if (!sameFormat && out.sample == Sample::U16) out.bits = 16;
  return true;
}

std::string formatExtension(const std::string& format) {
  const FormatRow* row = findFormat(format);
  return row ? row->extension : "";
}

bool writeImage(const std::string& path, const PixelView& from, const OutputFormat& format,
                std::string& error) {
  const std::string temp = tempNameFor(path);
  std::string why;
  if (!encodeTo(temp, from, format, why)) {
    ::unlink(temp.c_str());
    error = path + ": cannot write image: " + why;
    return false;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = path + ": cannot write image: " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool readRGBA8(const std::string& path, std::vector<uint8_t>& rgba, int& width, int& height,
               std::string& error) {
  rgba.clear();
  ImageInfo info;
  if (!probeImage(path, info, error)) return false;
  width = info.width;
  height = info.height;
  rgba.resize(static_cast<size_t>(width) * height * 4);
  PixelView view{rgba.data(), static_cast<ptrdiff_t>(width) * 4, width, height, 4, Sample::U8};
  if (readImage(path, view, error)) return true;
  rgba.clear();
  return false;
}

bool writeRGBA8(const std::string& path, const std::vector<uint8_t>& rgba, int width, int height,
                std::string& error) {
  std::string name = baseName(path);
  std::string extension = name.substr(std::min(name.size(), name.rfind('.')));
  OutputFormat format;
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  format.format = extension.empty() ? "" : extension.substr(1);
  const FormatRow* row = findFormat(format.format);
  if (!row) {
    error = path + ": cannot write image: unknown extension";
    return false;
  }
  format.format = row->name;
  format.channels = format.format == "jpeg" ? 3 : 4;
  format.sample = row->depths[0] ? Sample::U8 : Sample::Half;
  format.bits = sampleBytes(format.sample) * 8;
  PixelView view{const_cast<uint8_t*>(rgba.data()),
                 static_cast<ptrdiff_t>(width) * 4,
                 width,
                 height,
                 4,
                 Sample::U8};
  return writeImage(path, view, format, error);
}
