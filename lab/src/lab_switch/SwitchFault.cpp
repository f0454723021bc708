#include "lab_switch/SwitchFault.h"

namespace lab {

namespace {

struct FaultName {
    SwitchFault fault;
    const wchar_t* name;
};

const FaultName FAULT_NAMES[] = {
    {SwitchFault::NONE, L"none"},
    {SwitchFault::MUTE, L"mute"},
    {SwitchFault::SILENT, L"silent"},
    {SwitchFault::CLOSE_AFTER_MAKE, L"close_after_make"},
    {SwitchFault::CLOSE_AFTER_LOGIN, L"close_after_login"},
    {SwitchFault::REFUSE, L"refuse"},
    {SwitchFault::SLOW, L"slow"},
    {SwitchFault::IGNORE_WINDOW, L"ignore_window"},
};

}  // namespace

bool SwitchFaults::parse(const kx::core::String& text, SwitchFault* out) {
    for (const FaultName& item : FAULT_NAMES) {
        if (text == item.name) {
            if (out) *out = item.fault;
            return true;
        }
    }
    return false;
}

const wchar_t* SwitchFaults::name(SwitchFault fault) {
    for (const FaultName& item : FAULT_NAMES) {
        if (item.fault == fault) return item.name;
    }
    return L"none";
}

}  // namespace lab
