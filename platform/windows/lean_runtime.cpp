// The C++ runtime's failure paths, for the Windows program only. The tool is built without
// exceptions and catches none, so a failure the library would throw can only end the process.
// Defining these here keeps the library's versions out of the static image, and with them the
// exception machinery, the unwinder and the verbose terminate handler with its demangler (the
// larger half of the program otherwise).
#include <cstdlib>
#include <new>
#include <string>

// The string classes the tool uses, instantiated here without exceptions: the library's own
// instantiations are built with them and would bring the unwinder along. Members the tool never
// calls are dropped by the linker.
template class std::basic_string<char>;
template class std::basic_string<wchar_t>;

// The terminate handler: end the process, printing nothing.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    abort();
}
}  // namespace __gnu_cxx

// The library's throw helpers, used by its containers and strings.
namespace std {
void __throw_bad_alloc() {
    abort();
}
void __throw_bad_array_new_length() {
    abort();
}
void __throw_length_error(const char*) {
    abort();
}
void __throw_logic_error(const char*) {
    abort();
}
void __throw_out_of_range(const char*) {
    abort();
}
void __throw_out_of_range_fmt(const char*, ...) {
    abort();
}
void __throw_invalid_argument(const char*) {
    abort();
}
}  // namespace std

// Allocation: the throwing forms end the process where the library's would throw bad_alloc;
// the nothrow forms give null.
void* operator new(size_t size) {
    void* block = malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        abort();
    }
    return block;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return malloc(size != 0 ? size : 1);
}
void operator delete(void* block) noexcept {
    free(block);
}
void operator delete[](void* block) noexcept {
    free(block);
}
void operator delete(void* block, size_t) noexcept {
    free(block);
}
void operator delete[](void* block, size_t) noexcept {
    free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    free(block);
}
