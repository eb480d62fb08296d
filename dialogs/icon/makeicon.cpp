// makeicon: turns the settings dialog's icon, kept as a text pixel map, into a Windows .ico file.
//
// Usage: makeicon SOURCE.txt OUTPUT.ico
//
// The source holds a 16-colour palette and one or more square images, each a map of characters:
//
//   # comment
//   palette
//   k 000000        16 lines: character, colour as RRGGBB, in palette index order
//   ...
//   image 32
//   ....kkkk....    32 lines of 32 characters; '.' is transparent
//
// Each image becomes a 4-bit palette bitmap with its AND mask (transparent pixels set), as the
// icon resource format wants them: BITMAPINFOHEADER with doubled height, the palette, the colour
// rows bottom-up, then the mask rows bottom-up, each row padded to 32 bits.
// The program runs on the build machine, so it uses nothing but the C++ standard library.

#include <array>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr char transparentPixel = '.';
constexpr std::size_t paletteSize = 16;

struct Colour {
  std::uint8_t red = 0, green = 0, blue = 0;
};

struct Image {
  int size = 0;
  std::vector<std::string> rows;
};

struct IconSource {
  std::vector<Colour> palette;
  std::map<char, std::uint8_t> paletteIndex; // pixel character -> palette index
  std::vector<Image> images;
};

class SourceError : public std::runtime_error {
public:
  SourceError(int line, const std::string &what)
      : std::runtime_error("line " + std::to_string(line) + ": " + what) {}
};

bool isBlankOrComment(const std::string &line) {
  const auto first = line.find_first_not_of(" \t\r");
  return first == std::string::npos || line[first] == '#';
}

std::string withoutCarriageReturn(std::string line) {
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return line;
}

Colour parseColour(const std::string &hex, int lineNumber) {
  if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    throw SourceError(lineNumber, "colour must be six hex digits RRGGBB: " + hex);
  const auto channel = [&](std::size_t at) {
    return static_cast<std::uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16));
  };
  return {channel(0), channel(2), channel(4)};
}

void addPaletteEntry(IconSource &icon, const std::string &line, int lineNumber) {
  std::istringstream fields(line);
  std::string pixel, hex;
  if (!(fields >> pixel >> hex) || pixel.size() != 1)
    throw SourceError(lineNumber, "palette entry must be: CHARACTER RRGGBB");
  const char key = pixel.front();
  if (key == transparentPixel)
    throw SourceError(lineNumber, "'.' is reserved for transparent pixels");
  if (icon.paletteIndex.contains(key))
    throw SourceError(lineNumber, std::string("palette character used twice: ") + key);
  if (icon.palette.size() == paletteSize)
    throw SourceError(lineNumber, "the palette has more than 16 colours");
  icon.paletteIndex[key] = static_cast<std::uint8_t>(icon.palette.size());
  icon.palette.push_back(parseColour(hex, lineNumber));
}

int parseImageSize(const std::string &line, int lineNumber) {
  std::istringstream fields(line);
  std::string keyword;
  int size = 0;
  if (!(fields >> keyword >> size) || size < 1 || size > 256)
    throw SourceError(lineNumber, "image header must be: image SIZE (1 to 256)");
  return size;
}

void addImageRow(IconSource &icon, const std::string &row, int lineNumber) {
  Image &image = icon.images.back();
  if (static_cast<int>(image.rows.size()) == image.size)
    throw SourceError(lineNumber, "image has more rows than its size");
  if (static_cast<int>(row.size()) != image.size)
    throw SourceError(lineNumber, "row has " + std::to_string(row.size()) + " pixels, not " +
                                      std::to_string(image.size));
  for (const char pixel : row)
    if (pixel != transparentPixel && !icon.paletteIndex.contains(pixel))
      throw SourceError(lineNumber, std::string("pixel character not in the palette: ") + pixel);
  image.rows.push_back(row);
}

IconSource readSource(std::istream &in) {
  enum class Section { none, palette, image };
  IconSource icon;
  Section section = Section::none;
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    line = withoutCarriageReturn(line);
    if (isBlankOrComment(line))
      continue;
    if (line == "palette") {
      section = Section::palette;
    } else if (line.starts_with("image")) {
      if (icon.palette.size() != paletteSize)
        throw SourceError(lineNumber, "an image needs the full 16-colour palette before it");
      icon.images.push_back({parseImageSize(line, lineNumber), {}});
      section = Section::image;
    } else if (section == Section::palette) {
      addPaletteEntry(icon, line, lineNumber);
    } else if (section == Section::image) {
      addImageRow(icon, line, lineNumber);
    } else {
      throw SourceError(lineNumber, "expected 'palette' or 'image SIZE'");
    }
  }
  if (icon.images.empty())
    throw std::runtime_error("the source holds no image");
  for (const Image &image : icon.images)
    if (static_cast<int>(image.rows.size()) != image.size)
      throw std::runtime_error("image " + std::to_string(image.size) + " has " +
                               std::to_string(image.rows.size()) + " rows");
  return icon;
}

class LittleEndianWriter {
public:
  void u8(std::uint8_t value) { bytes_.push_back(value); }
  void u16(std::uint16_t value) {
    u8(static_cast<std::uint8_t>(value));
    u8(static_cast<std::uint8_t>(value >> 8));
  }
  void u32(std::uint32_t value) {
    u16(static_cast<std::uint16_t>(value));
    u16(static_cast<std::uint16_t>(value >> 16));
  }
  void append(const std::vector<std::uint8_t> &more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
  }
  const std::vector<std::uint8_t> &bytes() const { return bytes_; }

private:
  std::vector<std::uint8_t> bytes_;
};

// Bitmap rows are padded to a multiple of 32 bits.
std::uint32_t rowBytes(int width, int bitsPerPixel) {
  return static_cast<std::uint32_t>((width * bitsPerPixel + 31) / 32 * 4);
}

std::vector<std::uint8_t> colourRows(const IconSource &icon, const Image &image) {
  std::vector<std::uint8_t> bits;
  for (auto row = image.rows.rbegin(); row != image.rows.rend(); ++row) {
    std::vector<std::uint8_t> packed(rowBytes(image.size, 4), 0);
    for (int x = 0; x < image.size; ++x) {
      const char pixel = (*row)[static_cast<std::size_t>(x)];
      // A transparent pixel is black under a set mask bit: the screen shows through unchanged.
      const std::uint8_t index = pixel == transparentPixel ? 0 : icon.paletteIndex.at(pixel);
      packed[static_cast<std::size_t>(x / 2)] |=
          static_cast<std::uint8_t>(x % 2 == 0 ? index << 4 : index);
    }
    bits.insert(bits.end(), packed.begin(), packed.end());
  }
  return bits;
}

std::vector<std::uint8_t> maskRows(const Image &image) {
  std::vector<std::uint8_t> bits;
  for (auto row = image.rows.rbegin(); row != image.rows.rend(); ++row) {
    std::vector<std::uint8_t> packed(rowBytes(image.size, 1), 0);
    for (int x = 0; x < image.size; ++x)
      if ((*row)[static_cast<std::size_t>(x)] == transparentPixel)
        packed[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    bits.insert(bits.end(), packed.begin(), packed.end());
  }
  return bits;
}

std::vector<std::uint8_t> imageResource(const IconSource &icon, const Image &image) {
  const auto colours = colourRows(icon, image);
  const auto mask = maskRows(image);
  LittleEndianWriter out;
  out.u32(40); // BITMAPINFOHEADER
  out.u32(static_cast<std::uint32_t>(image.size));
  out.u32(static_cast<std::uint32_t>(image.size * 2)); // colour rows and mask rows
  out.u16(1);                                          // planes
  out.u16(4);                                          // bits per pixel
  out.u32(0);                                          // BI_RGB
  out.u32(static_cast<std::uint32_t>(colours.size() + mask.size()));
  out.u32(0);
  out.u32(0);
  out.u32(paletteSize);
  out.u32(0);
  for (const Colour &colour : icon.palette) { // RGBQUAD
    out.u8(colour.blue);
    out.u8(colour.green);
    out.u8(colour.red);
    out.u8(0);
  }
  out.append(colours);
  out.append(mask);
  return out.bytes();
}

std::vector<std::uint8_t> iconFile(const IconSource &icon) {
  std::vector<std::vector<std::uint8_t>> resources;
  for (const Image &image : icon.images)
    resources.push_back(imageResource(icon, image));

  LittleEndianWriter out;
  out.u16(0); // ICONDIR
  out.u16(1); // icon
  out.u16(static_cast<std::uint16_t>(resources.size()));
  std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(resources.size());
  for (std::size_t i = 0; i < resources.size(); ++i) { // ICONDIRENTRY
    const int size = icon.images[i].size;
    out.u8(static_cast<std::uint8_t>(size == 256 ? 0 : size));
    out.u8(static_cast<std::uint8_t>(size == 256 ? 0 : size));
    out.u8(paletteSize);
    out.u8(0);
    out.u16(1); // planes
    out.u16(4); // bits per pixel
    out.u32(static_cast<std::uint32_t>(resources[i].size()));
    out.u32(offset);
    offset += static_cast<std::uint32_t>(resources[i].size());
  }
  for (const auto &resource : resources)
    out.append(resource);
  return out.bytes();
}

void writeFile(const std::string &path, const std::vector<std::uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush())
    throw std::runtime_error("cannot write " + path);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: makeicon SOURCE.txt OUTPUT.ico\n";
    return 2;
  }
  try {
    std::ifstream in(argv[1]);
    if (!in)
      throw std::runtime_error("cannot read the source");
    writeFile(argv[2], iconFile(readSource(in)));
  } catch (const std::exception &error) {
    std::cerr << "makeicon: " << argv[1] << ": " << error.what() << '\n';
    return 1;
  }
  return 0;
}
