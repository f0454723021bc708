#include "lab_api/ApiFault.h"

namespace lab {

namespace {

struct FaultName {
    ApiFault fault;
    const wchar_t* name;
};

const FaultName FAULT_NAMES[] = {
    {ApiFault::NONE, L"none"},
    {ApiFault::TIMESTAMP, L"timestamp"},
    {ApiFault::HTTP_500, L"http_500"},
    {ApiFault::HTTP_502, L"http_502"},
    {ApiFault::GARBAGE, L"garbage"},
    {ApiFault::UNDECIPHERABLE, L"undecipherable"},
    {ApiFault::BAD_NONCE, L"bad_nonce"},
    {ApiFault::DELAY, L"delay"},
    {ApiFault::CUT, L"cut"},
    {ApiFault::SILENT, L"silent"},
};

}  // namespace

bool ApiFaults::parse(const kx::core::String& text, ApiFault* out) {
    for (const FaultName& item : FAULT_NAMES) {
        if (text == item.name) {
            if (out) *out = item.fault;
            return true;
        }
    }
    return false;
}

const wchar_t* ApiFaults::name(ApiFault fault) {
    for (const FaultName& item : FAULT_NAMES) {
        if (item.fault == fault) return item.name;
    }
    return L"none";
}

}  // namespace lab
