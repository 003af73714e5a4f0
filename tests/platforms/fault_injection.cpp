#include "tests/platforms/fault_injection.h"

namespace pkx {

void FaultInjector::FailAt(uint64_t k, uint32_t code, Operation kind) {
    faults_.push_back({k, code, false, kind, false});
}

void FaultInjector::FailFrom(uint64_t k, uint32_t code, Operation kind) {
    faults_.push_back({k, code, false, kind, true});
}

void FaultInjector::FailAllFrom(uint64_t k, uint32_t code) {
    faults_.push_back({k, code, true, Operation::kOpen, true});
}

void FaultInjector::Reset() {
    faults_.clear();
    total_ = 0;
    for (auto& count : byKind_) count = 0;
    triggered_ = 0;
}

bool FaultInjector::Hit(Operation kind, uint32_t* code) {
    uint64_t overall = total_.fetch_add(1) + 1;
    uint64_t ofKind = byKind_[static_cast<size_t>(kind)].fetch_add(1) + 1;
    for (const Fault& fault : faults_) {
        const uint64_t counted = fault.anyKind ? overall : ofKind;
        const bool hit = (fault.anyKind || fault.kind == kind) &&
                         (fault.onwards ? counted >= fault.k : counted == fault.k);
        if (hit) {
            *code = fault.code;
            triggered_.fetch_add(1);
            return true;
        }
    }
    return false;
}

}  // namespace pkx
