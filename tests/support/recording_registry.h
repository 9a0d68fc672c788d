#pragma once

#include <functional>
#include <map>
#include <vector>

#include "platform/registry.h"

enum class RegistryCall { CreateKey, OpenKey, QueryValue, SetValue, CloseKey };

// The system registry with every call recorded, and faults injected where a test asks for them: a refused
// call fails with the given status without reaching the system registry.
class RecordingRegistry final : public platform::Registry {
  public:
    explicit RecordingRegistry(platform::Registry& system = platform::SystemRegistry()) : system_(system) {}

    std::vector<RegistryCall> calls;
    std::map<RegistryCall, platform::RegistryStatus> refuse;
    // Runs before each QueryValue that asks for data (before any refusal is applied), to change the value
    // between ReadString's two queries.
    std::function<void()> beforeDataQuery;

    int Count(RegistryCall call) const;
    // Keys handed out and not closed yet; predefined roots do not count.
    int OpenKeys() const { return openKeys_; }

    platform::KeyHandle CurrentUser() override { return system_.CurrentUser(); }
    platform::RegistryStatus CreateKey(platform::KeyHandle root, const char16_t* subKey,
                                       platform::KeyHandle* result) override;
    platform::RegistryStatus OpenKey(platform::KeyHandle root, const char16_t* subKey,
                                     platform::KeyHandle* result) override;
    platform::RegistryStatus QueryValue(platform::KeyHandle key, const char16_t* name, std::uint32_t* type,
                                        void* data, std::uint32_t* size) override;
    platform::RegistryStatus SetValue(platform::KeyHandle key, const char16_t* name, std::uint32_t type,
                                      const void* data, std::uint32_t size) override;
    platform::RegistryStatus CloseKey(platform::KeyHandle key) override;

  private:
    bool Refused(RegistryCall call, platform::RegistryStatus& status);

    platform::Registry& system_;
    int openKeys_ = 0;
};
