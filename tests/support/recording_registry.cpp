#include "tests/support/recording_registry.h"

#include <algorithm>

using platform::KeyHandle;
using platform::RegistryStatus;

int RecordingRegistry::Count(RegistryCall call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

bool RecordingRegistry::Refused(RegistryCall call, RegistryStatus& status) {
    calls.push_back(call);
    const auto fault = refuse.find(call);
    if (fault == refuse.end()) {
        return false;
    }
    status = fault->second;
    return true;
}

RegistryStatus RecordingRegistry::CreateKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) {
    RegistryStatus status = 0;
    if (Refused(RegistryCall::CreateKey, status)) {
        return status;
    }
    status = system_.CreateKey(root, subKey, result);
    openKeys_ += status == 0;
    return status;
}

RegistryStatus RecordingRegistry::OpenKey(KeyHandle root, const char16_t* subKey, KeyHandle* result) {
    RegistryStatus status = 0;
    if (Refused(RegistryCall::OpenKey, status)) {
        return status;
    }
    status = system_.OpenKey(root, subKey, result);
    openKeys_ += status == 0;
    return status;
}

RegistryStatus RecordingRegistry::QueryValue(KeyHandle key, const char16_t* name, std::uint32_t* type,
                                             void* data, std::uint32_t* size) {
    if (data != nullptr && beforeDataQuery) {
        beforeDataQuery();
    }
    RegistryStatus status = 0;
    if (Refused(RegistryCall::QueryValue, status)) {
        return status;
    }
    return system_.QueryValue(key, name, type, data, size);
}

RegistryStatus RecordingRegistry::SetValue(KeyHandle key, const char16_t* name, std::uint32_t type,
                                           const void* data, std::uint32_t size) {
    RegistryStatus status = 0;
    if (Refused(RegistryCall::SetValue, status)) {
        return status;
    }
    return system_.SetValue(key, name, type, data, size);
}

RegistryStatus RecordingRegistry::CloseKey(KeyHandle key) {
    calls.push_back(RegistryCall::CloseKey);
    const RegistryStatus status = system_.CloseKey(key);
    openKeys_ -= status == 0;
    return status;
}
