#pragma once

#include "core/src/value/Any.h"
#include "tunnel_launcher/TargetRecord.h"

namespace tunnel {

// Reads target, node and forward records from the control API's target list
// (or a file in the same shape) with the lenient value conversions: keys of
// the wrong type convert or read as absent, never fail.
class TargetRecordReader {
public:
    // Every object element of a "targets" array, in order; others are skipped.
    static kx::core::Array<TargetRecord> readTargets(const kx::core::Array<kx::core::Any>& targets);

    // False (and *out untouched) for an element that is not an object.
    static bool readTarget(const kx::core::Any& value, TargetRecord* out);
    static bool readNode(const kx::core::Any& value, NodeRecord* out);
    static bool readForward(const kx::core::Any& value, ForwardRecord* out);
};

}  // namespace tunnel
