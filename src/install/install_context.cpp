#include "install/install_context.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "base/registry.h"
#include "base/text_encoding.h"
#include "os/clock.h"
#include "os/md5.h"
#include "os/path_rules.h"
#include "os/paths.h"
#include "os/shell_folder.h"
#include "os/version_info.h"

namespace {

constexpr std::u16string_view kCompany = u"Quorlen";
constexpr std::uint64_t kDebounceWindowMs = 1000;

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

std::u16string_view TrimTrailingSeparators(std::u16string_view path) {
  // A lone root separator stays: "/" and "\" are folders of their own.
  while (path.size() > 1 && IsSeparator(path.back())) path.remove_suffix(1);
  return path;
}

std::u16string_view LastComponent(std::u16string_view path) {
  path = TrimTrailingSeparators(path);
  const std::size_t separator = path.find_last_of(u"\\/");
  return separator == std::u16string_view::npos ? path : path.substr(separator + 1);
}

bool IsScanBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Whether the text starts the way the scan format "%u.%u.%u.%u" needs to convert all four
// numbers: each may follow blanks and carry a sign; the dots are literal; anything may follow the
// fourth number.
bool ScansAsFourNumbers(std::u16string_view text) {
  std::size_t i = 0;
  for (int number = 0; number < 4; ++number) {
    if (number > 0) {
      if (i >= text.size() || text[i] != u'.') return false;
      ++i;
    }
    while (i < text.size() && IsScanBlank(text[i])) ++i;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) ++i;
    const std::size_t digits_start = i;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') ++i;
    if (i == digits_start) return false;
  }
  return true;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char16_t c) {
      return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::u16string DebounceValueName(std::u16string_view launch_key) {
  std::u16string name(launch_key);
  for (char16_t& c : name) {
    if (std::u16string_view(u"\"*/<>?\\|").find(c) != std::u16string_view::npos) c = u'_';
  }
  return name;
}

}  // namespace

InstallContext& InstallContext::Instance() {
  static InstallContext context;
  return context;
}

InstallContext::InstallContext(Environment environment) : environment_(std::move(environment)) {
  if (!environment_.module_path) environment_.module_path = [] { return ModulePath(); };
  if (!environment_.tick_count) environment_.tick_count = [] { return os::TickCountMs(); };
}

void InstallContext::Init(std::u16string_view product_name) {
  if (initialized_) return;
  product_name_ = std::u16string(product_name);
  const std::u16string company_product = std::u16string(kCompany) + u"\\" + product_name_;
  const std::u16string base_key = u"SOFTWARE\\" + company_product;
  const std::u16string exe_path = environment_.module_path();

  internet_cafe_ = RegistryReadQword(kHkeyLocalMachine, base_key, u"Netbar") != 0;
  product_key_ = base_key;
  if (internet_cafe_) {
    // Every installed copy gets a key of its own, named after its root folder in lower case.
    std::u16string root =
        NormalizeInstallPath(InstallRootFromExeDirectory(ParentDirectory(exe_path)));
    std::vector<std::uint8_t> units;
    units.reserve(root.size() * 2);
    for (char16_t c : root) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
      units.push_back(static_cast<std::uint8_t>(c & 0xFF));
      units.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (const auto digest = os::Md5(units)) {
      product_key_ = base_key + u"_" + Utf8ToWide(HexEncode(*digest));
    }
  }

  install_path_ = RegistryReadString(kHkeyLocalMachine, product_key_, u"InstallPath", u"");
  if (install_path_.empty()) {
    const std::u16string program_files =
        KnownFolderPath(os::kCsidlProgramFiles, u"C:\\Program Files");
    install_path_ = os::PathJoin(os::PathJoin(program_files, kCompany), product_name_);
  }
  install_path_ = NormalizeInstallPath(install_path_);
  initialized_ = true;
}

std::u16string InstallContext::RegistryKey(ComponentId id) const {
  if (id == ComponentId::kProduct) return product_key_;
  return product_key_ + u"\\" + ComponentKeyName(id);
}

std::u16string InstallContext::ComponentFolder(ComponentId id) const {
  return install_path_ + os::kPathSeparator + ComponentFolderName(id);
}

std::u16string InstallContext::AppDirectory() const {
  return ComponentFolder(ComponentId::kClient) + os::kPathSeparator +
         ComponentVersion(ComponentId::kClient);
}

std::u16string InstallContext::LauncherVersion() const {
  const std::u16string key = RegistryKey(ComponentId::kProduct);
  std::u16string version =
      RegistryReadString(kHkeyLocalMachine, key, u"Version", kPlaceholderVersion);
  if (version == kPlaceholderVersion) {
    version = RegistryReadString(kHkeyCurrentUser, key, u"Version", kPlaceholderVersion);
  }
  return version;
}

std::u16string InstallContext::ComponentVersion(ComponentId id) const {
  const std::u16string key = RegistryKey(id);
  std::u16string version =
      RegistryReadString(kHkeyLocalMachine, key, u"Version", kPlaceholderVersion);
  if (version.empty() || version == kPlaceholderVersion) {
    version = RegistryReadString(kHkeyCurrentUser, key, u"Version", kPlaceholderVersion);
  }
  return version;
}

bool InstallContext::ShouldSuppressLaunch(std::u16string_view launch_key) const {
  if (launch_key.empty()) return false;
  const std::u16string name = DebounceValueName(launch_key);
  const std::u16string key = RegistryKey(ComponentId::kProduct) + u"\\LaunchDebounce";
  const std::uint64_t now = environment_.tick_count();
  const std::uint64_t last = RegistryReadQword(kHkeyCurrentUser, key, name);
  // No stored time means no earlier launch: even within the first second after boot, when the
  // difference to 0 is below the window, there is nothing to debounce against.
  if (last != 0 && now - last < kDebounceWindowMs) return true;
  RegistryWriteQword(kHkeyCurrentUser, key, name, now);
  return false;
}

std::u16string KnownFolderPath(int csidl, std::u16string_view fallback) {
  static std::shared_mutex mutex;
  static std::map<int, std::u16string> cache;
  std::u16string path;
  {
    const std::shared_lock lock(mutex);
    if (const auto found = cache.find(csidl); found != cache.end()) path = found->second;
  }
  if (path.empty()) {
    path = os::ShellFolderPath(csidl);
    // Only a found folder is kept, so a shell that had nothing is asked again next time.
    if (!path.empty()) {
      const std::unique_lock lock(mutex);
      cache.emplace(csidl, path);
    }
  }
  return path.empty() ? std::u16string(fallback) : path;
}

std::u16string NormalizeInstallPath(std::u16string_view path) {
  if (path.empty()) return std::u16string(path);
  std::u16string normal = os::LexicallyNormal(path, os::NativePathStyle());
  if (normal.size() > 4 && (normal.starts_with(u"\\\\?\\") || normal.starts_with(u"\\\\.\\"))) {
    normal.erase(0, 4);
  }
  return normal;
}

std::u16string ParentDirectory(std::u16string_view path) {
  path = TrimTrailingSeparators(path);
  const std::size_t separator = path.find_last_of(u"\\/");
  if (separator == std::u16string_view::npos) return {};
  std::u16string_view parent = path.substr(0, separator);
  // The separators between parent and name go; a root separator stays.
  while (!parent.empty() && IsSeparator(parent.back())) parent.remove_suffix(1);
  if (parent.empty()) return std::u16string(path.substr(0, 1));
  if (parent.size() == 2 && parent[1] == u':') return std::u16string(path.substr(0, 3));
  return std::u16string(parent);
}

std::u16string InstallRootFromExeDirectory(std::u16string_view directory) {
  std::u16string root(directory);
  if (ScansAsFourNumbers(LastComponent(root))) root = ParentDirectory(root);
  if (EqualsIgnoringAsciiCase(LastComponent(root), u"Application")) root = ParentDirectory(root);
  return root;
}

void RemoveIfeoEntry(std::u16string_view exe_file_name) {
  // An empty name would name the Image File Execution Options key itself, with every program's
  // entry below it.
  if (exe_file_name.empty() ||
      exe_file_name.find_first_of(std::u16string_view(u"\\/\0", 3)) != std::u16string_view::npos) {
    return;
  }
  RegistryDeleteKeyTree(
      u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\" +
      std::u16string(exe_file_name));
}

std::u16string FileVersionString(std::u16string_view path) {
  return os::ReadFileVersion(path);
}

std::string ReportVersionString(ExeType type) {
  if (type != ExeType::kLauncher) return {};
  return WideToUtf8(InstallContext::Instance().ComponentVersion(ComponentId::kClient));
}
