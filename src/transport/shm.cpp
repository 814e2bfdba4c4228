#include "transport/shm.h"

#include <cstdint>
#include <limits>

#include "os/text.h"
#include "transport/security.h"
#include "transport/utility/log.h"

namespace transport::shm {

std::string segment_name(std::string_view name, bool global) {
  std::string kernel_name = global ? "Global" : "Local";
  kernel_name += "\\__IPC_SHM__";
  kernel_name += name;
  return kernel_name;
}

id_t acquire(std::string_view name, std::size_t size, bool global) {
  if (name.empty()) {
    TRANSPORT_REPORT(log::kFailure, "fail acquire: name is empty\n");
    return nullptr;
  }
  const std::string text(name);
  if (static_cast<std::uint64_t>(size) > std::numeric_limits<std::uint32_t>::max()) {
    // The size travels as one 32-bit word; a larger one would silently shrink.
    TRANSPORT_REPORT(log::kFailure, "fail CreateFileMapping/OpenFileMapping[%d]: %s\n",
                     static_cast<int>(os::kErrorInvalidParameter), text.c_str());
    return nullptr;
  }
  auto created =
      os::FileMapping::Create(os::Utf8ToUtf16(segment_name(name, global)), size, object_security());
  if (!created.ok()) {
    TRANSPORT_REPORT(log::kFailure, "fail CreateFileMapping/OpenFileMapping[%d]: %s\n",
                     static_cast<int>(created.error), text.c_str());
    return nullptr;
  }
  auto record = std::make_unique<segment>();
  record->mapping = std::move(created.object);
  record->size = size;
  return record;
}

void* get_mem(segment* id, std::size_t* size) {
  if (id == nullptr) {
    TRANSPORT_REPORT(log::kFailure, "fail get_mem: invalid id (null)\n");
    return nullptr;
  }
  if (!id->view.valid()) {
    if (!id->mapping.valid()) {
      TRANSPORT_REPORT(log::kFailure, "fail to_mem: invalid id (h = null)\n");
      return nullptr;
    }
    auto mapped = os::MappedView::Map(id->mapping);
    if (!mapped.ok()) {
      TRANSPORT_REPORT(log::kFailure, "fail MapViewOfFile[%d]\n", static_cast<int>(mapped.error));
      return nullptr;
    }
    std::size_t region = 0;
    if (const os::ErrorCode error = mapped.object.QueryRegionSize(region);
        error != os::kErrorSuccess) {
      TRANSPORT_REPORT(log::kFailure, "fail VirtualQuery[%d]\n", static_cast<int>(error));
      // Mapped all the same: the view stays with the record until it is released. A later
      // call must not map it twice, so the record keeps the view with its requested size.
      id->view = std::move(mapped.object);
      return nullptr;
    }
    id->view = std::move(mapped.object);
    id->size = region;
  }
  if (size != nullptr) *size = id->size;
  return id->view.data();
}

int release(id_t id) {
  if (!id) {
    TRANSPORT_REPORT(log::kFailure, "fail release: invalid id (null)\n");
    return -1;
  }
  if (id->view.valid() && id->size != 0) {
    id->view.Unmap();
  } else {
    TRANSPORT_REPORT(log::kFailure, "fail release: invalid id (mem = %p, size = %zd)\n",
                     id->view.data(), static_cast<std::ptrdiff_t>(id->size));
  }
  if (id->mapping.valid()) {
    id->mapping.Close();
  } else {
    TRANSPORT_REPORT(log::kFailure, "fail release: invalid id (h = null)\n");
  }
  return 0;
}

struct handle::body {
  id_t id;
  void* memory = nullptr;
  std::string name;
  std::size_t size = 0;
};

handle::handle() : body_(std::make_unique<body>()) {}

handle::~handle() {
  release();
}

// A moved-from handle has no body; acquire gives it a new one.
handle::handle(handle&& other) noexcept = default;

handle& handle::operator=(handle&& other) noexcept {
  if (this != &other) {
    release();
    global_ = other.global_;
    body_ = std::move(other.body_);
  }
  return *this;
}

bool handle::acquire(std::string_view name, std::size_t size, std::optional<bool> global) {
  release();
  if (!body_) body_ = std::make_unique<body>();
  if (global) global_ = *global;
  body_->name = std::string(name);
  body_->id = shm::acquire(name, size, global_);
  if (!body_->id) return false;
  std::size_t mapped_size = 0;
  body_->memory = get_mem(body_->id.get(), &mapped_size);
  if (body_->memory == nullptr) {
    shm::release(std::move(body_->id));
    return false;
  }
  body_->size = mapped_size;
  return true;
}

void handle::release() {
  if (!body_) return;
  if (body_->id) shm::release(std::move(body_->id));
  body_->memory = nullptr;
  body_->size = 0;
  body_->name.clear();
}

void* handle::get() const {
  return body_ ? body_->memory : nullptr;
}

std::size_t handle::size() const {
  return body_ ? body_->size : 0;
}

const std::string& handle::name() const {
  static const std::string none;
  return body_ ? body_->name : none;
}

}  // namespace transport::shm
