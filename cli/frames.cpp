// Which files the INPUT arguments name, their frame numbers, and the output folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "cli/cli.h"
#include "stb_image_resize2.h"

namespace {

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir == ".") return name;
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// Regular files of a directory, sorted by name; false when it can't be read.
bool listDirectory(const std::string& dir, std::vector<std::string>& names, std::string& error) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    error = dir + ": cannot list folder: " + std::strerror(errno);
    return false;
  }
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (stat(joinPath(dir, name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return true;
}

// A file-name pattern with one integer conversion: prefix, %[0][width]d, suffix.
struct NumberPattern {
  std::string prefix, suffix;
  bool zeroPad = false;
  int width = 0;
};

enum class PatternKind { None, Valid, Invalid };

// None when name holds no '%'. A '%' that isn't a plain %d conversion, or a
// second conversion, makes the pattern invalid.
PatternKind parsePattern(const std::string& name, NumberPattern& pattern) {
  size_t pct = name.find('%');
  if (pct == std::string::npos) return PatternKind::None;
  size_t i = pct + 1;
  if (i < name.size() && name[i] == '0') {
    pattern.zeroPad = true;
    ++i;
  }
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) &&
         pattern.width < 100)
    pattern.width = pattern.width * 10 + (name[i++] - '0');
  if (i >= name.size() || name[i] != 'd' || name.find('%', i) != std::string::npos)
    return PatternKind::Invalid;
  pattern.prefix = name.substr(0, pct);
  pattern.suffix = name.substr(i + 1);
  return PatternKind::Valid;
}

std::string formatNumber(const NumberPattern& pattern, long number) {
  std::string digits = std::to_string(number);
  if (static_cast<int>(digits.size()) < pattern.width)
    digits.insert(0, pattern.width - digits.size(), pattern.zeroPad ? '0' : ' ');
  return pattern.prefix + digits + pattern.suffix;
}

// The number a file name stands for under the pattern, or -1. The name must
// be exactly what the pattern prints for that number.
long matchPattern(const NumberPattern& pattern, const std::string& name) {
  if (name.size() <= pattern.prefix.size() + pattern.suffix.size()) return -1;
  if (name.compare(0, pattern.prefix.size(), pattern.prefix) != 0) return -1;
  if (name.compare(name.size() - pattern.suffix.size(), pattern.suffix.size(), pattern.suffix) != 0)
    return -1;
  std::string middle = name.substr(pattern.prefix.size(),
                                   name.size() - pattern.prefix.size() - pattern.suffix.size());
  size_t first = middle.find_first_not_of(' ');
  if (first == std::string::npos || middle.size() - first > 9) return -1;
  for (size_t i = first; i < middle.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(middle[i]))) return -1;
  long number = std::stol(middle.substr(first));
  return formatNumber(pattern, number) == name ? number : -1;
}

bool expandPattern(const std::string& arg, const NumberPattern& pattern,
                   std::vector<std::string>& frames, std::string& error) {
  std::string dir = dirName(arg);
  std::vector<std::string> names;
  if (!listDirectory(dir, names, error)) return false;
  std::vector<std::pair<long, std::string>> matches;
  for (const std::string& name : names) {
    long number = matchPattern(pattern, name);
    if (number >= 0) matches.emplace_back(number, name);
  }
  if (matches.empty()) {
    error = arg + ": no file matches this frame pattern";
    return false;
  }
  std::sort(matches.begin(), matches.end());
  for (const auto& match : matches) frames.push_back(joinPath(dir, match.second));
  return true;
}

}  // namespace

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool isImageName(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string ext = name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  for (const char* known : {"png", "exr", "dpx", "tif", "tiff", "jpg", "jpeg"})
    if (ext == known) return true;
  return false;
}

long frameNumber(const std::string& name) {
  size_t end = name.rfind('.');
  if (end == std::string::npos) end = name.size();
  size_t last = end;
  while (last > 0 && !std::isdigit(static_cast<unsigned char>(name[last - 1]))) --last;
  size_t first = last;
  while (first > 0 && std::isdigit(static_cast<unsigned char>(name[first - 1]))) --first;
  if (first == last || last - first > 9) return -1;
  return std::stol(name.substr(first, last - first));
}

bool parseFrameRange(const std::string& text, FrameRange& range, std::string& error) {
  // Digits only: no signs, blanks or exponents slip through strtol.
  auto number = [](const std::string& digits, long& value) {
    if (digits.empty() || digits.size() > 9) return false;
    for (char c : digits)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = std::stol(digits);
    return true;
  };
  range = FrameRange();
  std::string body = text;
  size_t x = body.find('x');
  bool ok = true;
  if (x != std::string::npos) {
    ok = number(body.substr(x + 1), range.step) && range.step >= 1;
    body = body.substr(0, x);
  }
  size_t dash = body.find('-');
  if (dash == std::string::npos) {
    ok = ok && number(body, range.first);
    range.last = range.first;
  } else {
    ok = ok && number(body.substr(0, dash), range.first) &&
         number(body.substr(dash + 1), range.last) && range.first <= range.last;
  }
  if (!ok)
    error = "--frames wants FIRST-LAST or FIRST-LASTxSTEP (e.g. 1001-1048x2), not '" + text + "'";
  return ok;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool listInputs(const std::vector<std::string>& args, std::vector<std::string>& frames,
                std::string& error) {
  frames.clear();
  error.clear();
  for (const std::string& arg : args) {
    struct stat st {};
    int statErrno = stat(arg.c_str(), &st) == 0 ? 0 : errno;
    if (statErrno == 0) {
      if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        if (!listDirectory(arg, names, error)) return false;
        size_t before = frames.size();
        for (const std::string& name : names)
          if (isImageName(name)) frames.push_back(joinPath(arg, name));
        if (frames.size() == before) {
          error = arg + ": folder holds no image files (png, exr, dpx, tif, jpg)";
          return false;
        }
      } else {
        frames.push_back(arg);
      }
      continue;
    }
    NumberPattern pattern;
    PatternKind kind = parsePattern(baseName(arg), pattern);
    if (kind == PatternKind::Invalid) {
      error = arg + ": a frame pattern needs exactly one %d, %0Nd or %Nd";
      return false;
    }
    if (kind == PatternKind::Valid) {
      if (!expandPattern(arg, pattern, frames, error)) return false;
      continue;
    }
    error = arg + ": " + std::strerror(statErrno);
    return false;
  }
  if (frames.empty()) {
    error = "no input frames given";
    return false;
  }
  std::set<std::string> seen;
  for (const std::string& frame : frames) {
    if (!seen.insert(baseName(frame)).second) {
      error = frame + ": another input has the same file name; its output would be overwritten";
      return false;
    }
  }
  return true;
}

bool prepareOutputDir(const std::string& dir, std::string& error) {
  // Create each missing level, so a/b/c works like mkdir -p.
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string level = dir.substr(0, slash);
    if (!level.empty() && mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) {
      error = dir + ": cannot create output folder: " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + ": output path is not a folder";
    return false;
  }
  std::string probe = joinPath(dir, ".talvane-render-probe-" + std::to_string(getpid()));
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    error = dir + ": output folder is not writable: " + std::strerror(errno);
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

bool writeContactSheet(const std::string& path, const std::vector<SheetPair>& pairs, int width,
                       int height, int cellWidth, std::string& error) {
  if (pairs.empty() || width <= 0 || height <= 0 || cellWidth <= 0) {
    error = path + ": nothing to put on the contact sheet";
    return false;
  }
  const int gutter = 8;
  const int cellHeight = std::max(1, (height * cellWidth + width / 2) / width);
  const int columns = static_cast<int>(pairs.size());
  const int sheetWidth = gutter + columns * (cellWidth + gutter);
  const int sheetHeight = gutter + 2 * (cellHeight + gutter);
  std::vector<uint8_t> sheet(static_cast<size_t>(sheetWidth) * sheetHeight * 4);
  for (size_t i = 0; i < sheet.size(); i += 4) {
    sheet[i] = sheet[i + 1] = sheet[i + 2] = 24;
    sheet[i + 3] = 255;
  }
  std::vector<uint8_t> cell(static_cast<size_t>(cellWidth) * cellHeight * 4);
  for (int c = 0; c < columns; ++c) {
    const std::vector<uint8_t>* rows[2] = {&pairs[c].input, &pairs[c].output};
    for (int r = 0; r < 2; ++r) {
      stbir_resize_uint8_srgb(rows[r]->data(), width, height, 0, cell.data(), cellWidth, cellHeight,
                              0, STBIR_RGBA);
      int x0 = gutter + c * (cellWidth + gutter);
      int y0 = gutter + r * (cellHeight + gutter);
      for (int y = 0; y < cellHeight; ++y) {
        uint8_t* dst = &sheet[(static_cast<size_t>(y0 + y) * sheetWidth + x0) * 4];
        const uint8_t* src = &cell[static_cast<size_t>(y) * cellWidth * 4];
        // Opaque cells: a frame with a matte would otherwise show the gutter through it.
        for (int x = 0; x < cellWidth * 4; x += 4) {
          dst[x] = src[x];
          dst[x + 1] = src[x + 1];
          dst[x + 2] = src[x + 2];
          dst[x + 3] = 255;
        }
      }
    }
  }
  return writeRGBA8(path, sheet, sheetWidth, sheetHeight, error);
}
