#include "util/src/web/Cookie.h"

namespace kx {
namespace util {

kx::core::String Cookie::toString() const {
    return name + L"=" + value + L"; domain=" + domain + L"; path=" + path;
}

}  // namespace util
}  // namespace kx
