#include "builder/paths.h"

#include <system_error>

namespace pkx::builder {

namespace fs = std::filesystem;

fs::path LongPath(const std::string& utf8) {
    fs::path path = FsPath(utf8);
#ifdef _WIN32
    std::error_code code;
    const fs::path full = fs::absolute(path, code);
    const std::wstring native = full.lexically_normal().make_preferred().native();
    if (code || native.rfind(L"\\\\?\\", 0) == 0) return path;
    if (native.rfind(L"\\\\", 0) == 0) return fs::path(L"\\\\?\\UNC\\" + native.substr(2));
    return fs::path(L"\\\\?\\" + native);
#else
    return path;
#endif
}

fs::path RelativeTo(const fs::path& path, const fs::path& root) {
    const fs::path::string_type& whole = path.native();
    const fs::path::string_type& start = root.native();
    if (whole.compare(0, start.size(), start) != 0) return path.lexically_relative(root);
    size_t at = start.size();
    while (at < whole.size() && (whole[at] == '/' || whole[at] == fs::path::preferred_separator)) {
        ++at;
    }
    return fs::path(whole.substr(at));
}

}  // namespace pkx::builder
