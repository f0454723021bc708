#pragma once

#include "core/src/value/Array.h"
#include "core/src/value/String.h"

namespace kx {
namespace core {

typedef Array<String> Strings;

}  // namespace core
}  // namespace kx
