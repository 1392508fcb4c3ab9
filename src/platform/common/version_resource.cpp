// Version resources read from a PE image's bytes, by a small PE resource
// reader: DOS header, PE header, section table, the resource directory, the
// first RT_VERSION entry (first name, first language), and in it
// VS_VERSIONINFO -> StringFileInfo -> the string table of the asked block, or
// its fixed part. Every offset taken from the file is checked against what
// was read, so a truncated or damaged file gives false and never a read out
// of bounds.
#include "platform/common/version_resource.h"

#include <cstdint>
#include <vector>

#include "platform/common/backslash_path.h"
#include "platform/common/little_endian.h"
#include "platform/files.h"

namespace platform {
namespace {

constexpr std::uint32_t kRtVersion = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;
// A resource section larger than this is not a plausible executable's.
constexpr std::uint64_t kMaxResourceSection = 64u << 20;

// Bytes with bounds-checked little-endian reads.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::vector<unsigned char> data) : data_(std::move(data)) {}
  std::size_t size() const { return data_.size(); }
  bool U16(std::uint64_t off, std::uint32_t& v) const {
    if (off > data_.size() || data_.size() - off < 2) return false;
    v = static_cast<std::uint32_t>(LittleEndian(data_, static_cast<std::size_t>(off), 2));
    return true;
  }
  bool U32(std::uint64_t off, std::uint32_t& v) const {
    if (off > data_.size() || data_.size() - off < 4) return false;
    v = static_cast<std::uint32_t>(LittleEndian(data_, static_cast<std::size_t>(off), 4));
    return true;
  }

 private:
  std::vector<unsigned char> data_;
};

struct Section {
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawSize = 0;
  std::uint32_t rawPointer = 0;
};

// Finds the resource section, reads it whole and tells its virtual address.
bool LoadResourceSection(ByteSource& file, Bytes& rsrc, std::uint32_t& rsrcRva,
                         std::uint32_t& rsrcDirRva) {
  const std::uint64_t fileSize = file.Size();

  std::vector<unsigned char> buf;
  if (!file.ReadAt(0, static_cast<std::size_t>(64), buf)) return false;
  Bytes dos(buf);
  std::uint32_t magic = 0, peOffset = 0;
  if (!dos.U16(0, magic) || magic != 0x5A4D || !dos.U32(0x3C, peOffset)) return false;

  // Signature, file header and the largest optional header we understand.
  if (static_cast<std::uint64_t>(peOffset) + 24 > fileSize) return false;
  if (!file.ReadAt(peOffset, static_cast<std::size_t>(24), buf)) return false;
  Bytes pe(buf);
  std::uint32_t sig = 0, sectionCount = 0, optSize = 0;
  if (!pe.U32(0, sig) || sig != 0x00004550) return false;
  if (!pe.U16(6, sectionCount) || !pe.U16(20, optSize)) return false;
  if (sectionCount == 0 || optSize < 2) return false;

  const std::uint64_t optOffset = static_cast<std::uint64_t>(peOffset) + 24;
  if (optOffset + optSize > fileSize ||
      !file.ReadAt(optOffset, static_cast<std::size_t>(optSize), buf))
    return false;
  Bytes opt(buf);
  std::uint32_t optMagic = 0;
  if (!opt.U16(0, optMagic)) return false;
  std::uint64_t countOff = 0;
  if (optMagic == 0x10B) {
    countOff = 92;  // PE32
  } else if (optMagic == 0x20B) {
    countOff = 108;  // PE32+
  } else {
    return false;
  }
  std::uint32_t dirCount = 0;
  if (!opt.U32(countOff, dirCount) || dirCount <= 2) return false;
  // Data directory 2 is the resource table.
  std::uint32_t dirSize = 0;
  if (!opt.U32(countOff + 4 + 2 * 8, rsrcDirRva) || !opt.U32(countOff + 4 + 2 * 8 + 4, dirSize)) {
    return false;
  }
  if (rsrcDirRva == 0 || dirSize == 0) return false;

  const std::uint64_t tableOffset = optOffset + optSize;
  const std::uint64_t tableSize = static_cast<std::uint64_t>(sectionCount) * 40;
  if (tableOffset + tableSize > fileSize ||
      !file.ReadAt(tableOffset, static_cast<std::size_t>(tableSize), buf))
    return false;
  Bytes table(buf);
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    Section s;
    const std::uint64_t o = static_cast<std::uint64_t>(i) * 40;
    if (!table.U32(o + 8, s.virtualSize) || !table.U32(o + 12, s.virtualAddress) ||
        !table.U32(o + 16, s.rawSize) || !table.U32(o + 20, s.rawPointer)) {
      return false;
    }
    const std::uint64_t span = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
    if (rsrcDirRva < s.virtualAddress || rsrcDirRva >= s.virtualAddress + span) continue;
    // Only the bytes present in the file are read; the rest of a section is
    // zero-filled in memory and holds no resource data.
    std::uint64_t size = s.rawSize;
    if (s.virtualSize != 0 && s.virtualSize < size) size = s.virtualSize;
    if (size == 0 || size > kMaxResourceSection) return false;
    if (static_cast<std::uint64_t>(s.rawPointer) + size > fileSize) return false;
    if (!file.ReadAt(s.rawPointer, static_cast<std::size_t>(size), buf)) return false;
    rsrc = Bytes(std::move(buf));
    rsrcRva = s.virtualAddress;
    return true;
  }
  return false;
}

// Follows one level of the resource directory at `dirOffset` (relative to the
// directory's start): the entry with id `wantedId`, or the first entry when
// `wantedId` is negative. Gives the entry's target and whether it is another
// directory.
bool DirectoryEntry(const Bytes& rsrc, std::uint64_t base, std::uint64_t dirOffset, long wantedId,
                    std::uint32_t& target, bool& isDir) {
  std::uint32_t named = 0, ids = 0;
  if (!rsrc.U16(base + dirOffset + 12, named) || !rsrc.U16(base + dirOffset + 14, ids))
    return false;
  const std::uint32_t count = named + ids;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t e = base + dirOffset + 16 + static_cast<std::uint64_t>(i) * 8;
    std::uint32_t name = 0, data = 0;
    if (!rsrc.U32(e, name) || !rsrc.U32(e + 4, data)) return false;
    if (wantedId >= 0 && ((name & kHighBit) != 0 || name != static_cast<std::uint32_t>(wantedId)))
      continue;
    target = data & ~kHighBit;
    isDir = (data & kHighBit) != 0;
    return true;
  }
  return false;
}

// Windows-1252 for the code points it has beyond Latin-1's.
char ToAnsi(std::uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  static const std::uint16_t k1252High[32] = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  for (int i = 0; i < 32; ++i) {
    if (k1252High[i] != 0 && k1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// One node of the version tree: wLength, wValueLength, wType, key, value and
// children, each 32-bit aligned relative to the tree's start.
struct Node {
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // start + wLength, checked against its parent
  std::uint32_t valueLength = 0;
  std::uint32_t type = 0;
  std::u16string key;
  std::uint64_t valueStart = 0;
  std::uint64_t childrenStart = 0;
};

std::uint64_t Align4(std::uint64_t base, std::uint64_t off) {
  return base + ((off - base + 3) & ~static_cast<std::uint64_t>(3));
}

bool ReadNode(const Bytes& b, std::uint64_t treeStart, std::uint64_t at, std::uint64_t limit,
              Node& n) {
  std::uint32_t length = 0;
  if (!b.U16(at, length) || !b.U16(at + 2, n.valueLength) || !b.U16(at + 4, n.type)) return false;
  if (length < 6 || at + length > limit) return false;
  n.start = at;
  n.end = at + length;
  n.key.clear();
  std::uint64_t p = at + 6;
  for (;;) {
    std::uint32_t ch = 0;
    if (p + 2 > n.end || !b.U16(p, ch)) return false;
    p += 2;
    if (ch == 0) break;
    n.key.push_back(static_cast<char16_t>(ch));
  }
  n.valueStart = Align4(treeStart, p);
  // wType 1 counts the value in 16-bit characters, wType 0 in bytes.
  const std::uint64_t valueBytes =
      n.type == 1 ? static_cast<std::uint64_t>(n.valueLength) * 2 : n.valueLength;
  n.childrenStart = Align4(treeStart, n.valueStart + valueBytes);
  if (n.valueStart > n.end) n.valueStart = n.end;
  if (n.childrenStart > n.end) n.childrenStart = n.end;
  return true;
}

bool KeyEquals(const std::u16string& key, const std::string& want) {
  if (key.size() != want.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    std::uint32_t a = key[i], c = static_cast<unsigned char>(want[i]);
    if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    if (a != c) return false;
  }
  return true;
}

// The child of `parent` whose key is `want`, compared without regard to case.
bool FindChild(const Bytes& b, std::uint64_t treeStart, const Node& parent, const std::string& want,
               Node& out) {
  std::uint64_t at = parent.childrenStart;
  while (at + 6 <= parent.end) {
    Node child;
    if (!ReadNode(b, treeStart, at, parent.end, child)) return false;
    if (KeyEquals(child.key, want)) {
      out = child;
      return true;
    }
    at = Align4(treeStart, child.end);
  }
  return false;
}

// The file's VS_VERSION_INFO node, in the resource section `rsrc`, of the
// first RT_VERSION entry (first name, first language); `start` is where the
// version resource begins there. False when the file has none.
bool LoadVersionRoot(ByteSource& file, Bytes& rsrc, std::uint64_t& start, Node& root) {
  std::uint32_t rsrcRva = 0, dirRva = 0;
  if (!LoadResourceSection(file, rsrc, rsrcRva, dirRva)) return false;
  const std::uint64_t base = dirRva - rsrcRva;  // the directory's start in the section

  // Type RT_VERSION, then its first name, then that name's first language.
  std::uint32_t target = 0;
  bool isDir = false;
  if (!DirectoryEntry(rsrc, base, 0, kRtVersion, target, isDir) || !isDir) return false;
  if (!DirectoryEntry(rsrc, base, target, -1, target, isDir) || !isDir) return false;
  if (!DirectoryEntry(rsrc, base, target, -1, target, isDir) || isDir) return false;

  std::uint32_t dataRva = 0, dataSize = 0;
  if (!rsrc.U32(base + target, dataRva) || !rsrc.U32(base + target + 4, dataSize)) return false;
  if (dataRva < rsrcRva) return false;
  start = static_cast<std::uint64_t>(dataRva) - rsrcRva;
  if (start > rsrc.size() || rsrc.size() - start < dataSize) return false;
  return ReadNode(rsrc, start, start, start + dataSize, root) &&
         KeyEquals(root.key, "VS_VERSION_INFO");
}

}  // namespace

bool ReadVersionString(ByteSource& file, const std::string& queryPath, std::string& out) {
  const std::vector<std::string> q = SplitBackslashPath(queryPath);
  if (q.size() != 3 || !KeyEquals(std::u16string(u"StringFileInfo"), q[0])) return false;

  Bytes rsrc;
  std::uint64_t start = 0;
  Node root, sfi, table, str;
  if (!LoadVersionRoot(file, rsrc, start, root)) return false;
  if (!FindChild(rsrc, start, root, q[0], sfi)) return false;
  if (!FindChild(rsrc, start, sfi, q[1], table)) return false;
  if (!FindChild(rsrc, start, table, q[2], str)) return false;

  // The value runs to its first NUL, within the node.
  std::string value;
  for (std::uint64_t p = str.valueStart; p + 2 <= str.end; p += 2) {
    std::uint32_t ch = 0;
    if (!rsrc.U16(p, ch) || ch == 0) break;
    if (ch >= 0xD800 && ch <= 0xDFFF) {
      // A surrogate pair is one character that no ANSI code page holds.
      std::uint32_t next = 0;
      if (ch <= 0xDBFF && p + 4 <= str.end && rsrc.U16(p + 2, next) && next >= 0xDC00 &&
          next <= 0xDFFF) {
        p += 2;
      }
      value.push_back('?');
      continue;
    }
    value.push_back(ToAnsi(ch));
  }
  out = value;
  return true;
}

bool ReadFixedFileVersion(ByteSource& file, std::uint32_t& mostSignificant,
                          std::uint32_t& leastSignificant) {
  Bytes rsrc;
  std::uint64_t start = 0;
  Node root;
  if (!LoadVersionRoot(file, rsrc, start, root)) return false;
  // VS_FIXEDFILEINFO: 13 DWORDs, the signature first, then the structure's
  // version, then the file version's two halves.
  std::uint32_t signature = 0;
  if (root.valueLength < 52 || root.valueStart + 52 > root.end ||
      !rsrc.U32(root.valueStart, signature) || signature != 0xFEEF04BD) {
    return false;
  }
  return rsrc.U32(root.valueStart + 8, mostSignificant) &&
         rsrc.U32(root.valueStart + 12, leastSignificant);
}

bool QueryVersionString(File& file, const std::string& queryPath, std::string& out) {
  FileByteSource source(file);
  return ReadVersionString(source, queryPath, out);
}

bool QueryFixedFileVersion(File& file, std::uint32_t& mostSignificant,
                           std::uint32_t& leastSignificant) {
  FileByteSource source(file);
  return ReadFixedFileVersion(source, mostSignificant, leastSignificant);
}

}  // namespace platform
