// The file version of an ELF program: the descriptor of its version note, found among the note
// sections named by the section header table.
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "os/text.h"
#include "os/version_info.h"

namespace os {
namespace {

// Note sections are small; anything larger is not one of ours.
constexpr std::uint64_t kMaxNoteSection = 1 << 20;

class Reader {
 public:
  explicit Reader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Reader() {
    if (fd_ >= 0) ::close(fd_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool Read(std::uint64_t offset, void* out, std::size_t size) const {
    auto* bytes = static_cast<char*>(out);
    while (size > 0) {
      const ssize_t got = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (got <= 0) return false;
      bytes += got;
      offset += static_cast<std::uint64_t>(got);
      size -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
};

std::size_t Align4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

// The descriptor of the first note of our owner and type in one note section.
std::optional<std::string> FindNote(const std::vector<char>& section) {
  std::size_t pos = 0;
  while (pos + 12 <= section.size()) {
    std::uint32_t header[3];
    std::memcpy(header, section.data() + pos, sizeof header);
    const std::size_t name_size = header[0], desc_size = header[1];
    const std::size_t name_at = pos + 12;
    const std::size_t desc_at = name_at + Align4(name_size);
    if (desc_at > section.size() || desc_size > section.size() - desc_at) return std::nullopt;
    if (header[2] == kVersionNoteType && name_size == sizeof kVersionNoteOwner &&
        std::memcmp(section.data() + name_at, kVersionNoteOwner, name_size) == 0) {
      return std::string(section.data() + desc_at, desc_size);
    }
    pos = desc_at + Align4(desc_size);
  }
  return std::nullopt;
}

}  // namespace

std::u16string ReadFileVersion(std::u16string_view path) {
  const Reader file(NativeNarrowPath(path));
  if (!file.ok()) return {};
  Elf64_Ehdr header{};
  if (!file.Read(0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
      header.e_shentsize != sizeof(Elf64_Shdr)) {
    return {};
  }
  for (std::uint16_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section{};
    if (!file.Read(header.e_shoff + std::uint64_t{i} * sizeof section, &section, sizeof section)) {
      return {};
    }
    if (section.sh_type != SHT_NOTE || section.sh_size > kMaxNoteSection) continue;
    std::vector<char> bytes(section.sh_size);
    if (!file.Read(section.sh_offset, bytes.data(), bytes.size())) continue;
    if (auto text = FindNote(bytes)) {
      while (!text->empty() && text->back() == '\0') text->pop_back();
      return Utf8ToUtf16(*text);
    }
  }
  return {};
}

}  // namespace os
