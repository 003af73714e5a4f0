// A platform for tests that counts the operations passing through it and
// makes chosen ones fail (as PlatformWrapper describes).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/platforms/platform_wrapper.h"

namespace pkx {

// Counts every call, in all and by kind. Faults are planned while no other
// thread uses the injector.
class FaultInjector : public PlatformWrapper {
  public:
    explicit FaultInjector(Platform& inner) : PlatformWrapper(inner) {}

    // The k-th (1-based) operation of kind `kind` fails with `code`.
    void FailAt(uint64_t k, uint32_t code, Operation kind);
    // Every operation of kind `kind` from its k-th on fails with `code`.
    void FailFrom(uint64_t k, uint32_t code, Operation kind);
    // Every operation from the k-th on fails, as if the process were killed.
    void FailAllFrom(uint64_t k, uint32_t code);
    // Forgets planned faults and zeroes the counters.
    void Reset();

    uint64_t Count() const { return total_.load(); }
    uint64_t Count(Operation kind) const { return byKind_[static_cast<size_t>(kind)].load(); }
    // How many calls a planned fault made fail.
    uint64_t FaultsTriggered() const { return triggered_.load(); }

  protected:
    // Inline: the vtable must be emitted by the tests, built with RTTI.
    bool Fails(Operation kind, uint32_t* code) override { return Hit(kind, code); }

  private:
    struct Fault {
        uint64_t k;
        uint32_t code;
        bool anyKind;
        Operation kind;
        bool onwards;
    };

    // Counts one call; true (and the code) when a planned fault hits it.
    bool Hit(Operation kind, uint32_t* code);

    std::vector<Fault> faults_;
    std::atomic<uint64_t> total_{0};
    std::atomic<uint64_t> byKind_[kOperationKinds] = {};
    std::atomic<uint64_t> triggered_{0};
};

}  // namespace pkx
