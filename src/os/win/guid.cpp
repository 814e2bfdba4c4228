#include <windows.h>

#include <objbase.h>

#include <cstring>

#include "os/guid.h"

namespace os {

Guid NewGuid() {
  GUID native;
  std::memset(&native, 0, sizeof native);
  (void)::CoCreateGuid(&native);
  Guid guid;
  guid.data1 = native.Data1;
  guid.data2 = native.Data2;
  guid.data3 = native.Data3;
  for (int i = 0; i < 8; ++i) guid.data4[i] = native.Data4[i];
  return guid;
}

}  // namespace os
