#include "os/object_names.h"

#include "os/text.h"

namespace os {
namespace {

constexpr std::u16string_view kGlobalPrefix = u"Global\\";
constexpr std::u16string_view kLocalPrefix = u"Local\\";
constexpr std::size_t kLongestEncoded = 200;
constexpr std::size_t kKeptOfLong = 180;

bool KeptAsIs(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         (byte >= '0' && byte <= '9') || byte == '.' || byte == '_' || byte == '-' || byte == '{' ||
         byte == '}';
}

const char* KindPrefix(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kMutex:
      return "mutex.";
    case ObjectKind::kSemaphore:
      return "sem.";
    case ObjectKind::kEvent:
      return "event.";
    case ObjectKind::kFileMapping:
      return "shm.";
  }
  return "";
}

}  // namespace

std::uint64_t ObjectNameHash(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string EncodeObjectName(std::u16string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char byte : Utf16ToUtf8(name)) {
    if (KeptAsIs(byte)) {
      encoded.push_back(static_cast<char>(byte));
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0xF]);
    }
  }
  if (encoded.size() <= kLongestEncoded) return encoded;
  std::uint64_t hash = ObjectNameHash(encoded);
  std::string shortened = encoded.substr(0, kKeptOfLong);
  shortened.push_back('~');
  for (int shift = 60; shift >= 0; shift -= 4) shortened.push_back(kHex[(hash >> shift) & 0xF]);
  return shortened;
}

ObjectLocation LocateObject(ObjectKind kind, std::u16string_view name) {
  ObjectLocation location;
  if (name.substr(0, kGlobalPrefix.size()) == kGlobalPrefix) {
    location.global = true;
    name.remove_prefix(kGlobalPrefix.size());
  } else if (name.substr(0, kLocalPrefix.size()) == kLocalPrefix) {
    name.remove_prefix(kLocalPrefix.size());
  }
  location.file_name = KindPrefix(kind) + EncodeObjectName(name);
  return location;
}

}  // namespace os
