// Language runtime support for the Windows product executables.
//
// They are built without exceptions, yet the static libstdc++ still throws
// from its out-of-line helpers (container length errors, failed allocation)
// and terminates through the verbose handler, which drags in the exception
// machinery, the demangler and printf: about 200 KB, more than the whole
// updater image may take. Defining these entry points here keeps the
// library's throwing members out of the link. Each failure ends the process,
// which is what an exception escaping a no-exception build would do.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

namespace {

[[noreturn]] void Fail() { std::abort(); }

}  // namespace

// Replaceable allocation functions: plain forms end the process when memory
// runs out, nothrow forms return nullptr so callers can report the failure.
void* operator new(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) Fail();
    return block;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

// The members of std::string, instantiated here without exceptions: the
// library's own instances (string-inst.o) contain catch blocks, which would
// bring the whole exception machinery back in.
template class std::__cxx11::basic_string<char>;

// Keeps the library's new_handler.o and its unwind tables out; in a section of
// its own, or the texts beside it would be kept with it.
[[gnu::section(".rdata$nothrow")]] const std::nothrow_t std::nothrow{};

extern "C" void __cxa_pure_virtual() { Fail(); }
extern "C" void __cxa_deleted_virtual() { Fail(); }

// All members of libstdc++'s functexcept.o must be defined together, or the
// linker pulls that object in for the first missing one and reports duplicates.
namespace std {
void __throw_bad_exception() { Fail(); }
void __throw_bad_alloc() { Fail(); }
void __throw_bad_array_new_length() { Fail(); }
void __throw_bad_cast() { Fail(); }
void __throw_bad_typeid() { Fail(); }
void __throw_logic_error(const char*) { Fail(); }
void __throw_domain_error(const char*) { Fail(); }
void __throw_invalid_argument(const char*) { Fail(); }
void __throw_length_error(const char*) { Fail(); }
void __throw_out_of_range(const char*) { Fail(); }
void __throw_out_of_range_fmt(const char*, ...) { Fail(); }
void __throw_runtime_error(const char*) { Fail(); }
void __throw_range_error(const char*) { Fail(); }
void __throw_overflow_error(const char*) { Fail(); }
void __throw_underflow_error(const char*) { Fail(); }
void __throw_bad_function_call() { Fail(); }
}  // namespace std
