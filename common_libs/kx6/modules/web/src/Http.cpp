#include "web/src/Http.h"

namespace kx {
namespace web {

const core::String* Http::findHeader(const Headers& headers, const core::String& name) {
    const core::String* exact = headers.find(name);
    if (exact) return exact;
    core::String lower = name.toLower();
    for (const auto& entry : headers) {
        if (entry.first.toLower() == lower) return &entry.second;
    }
    return nullptr;
}

core::String Http::header(const Headers& headers, const core::String& name) {
    const core::String* value = findHeader(headers, name);
    return value ? *value : core::String();
}

}  // namespace web
}  // namespace kx
