#include "tests/win32_gui/driver_options.h"

#include <windows.h>

#include "texts/text_table.h"

namespace pkx::gui {

DriverOptions& Options() {
    static DriverOptions options;
    return options;
}

std::string DriverPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

const ApplyContext& DefaultTexts() {
    static ApplyContext* context = [] {
        auto* loaded = new ApplyContext;
        systemCodePage = Os().AnsiCodePage();
        LoadDefaultTexts(*loaded);
        return loaded;
    }();
    return *context;
}

const char* Text(uint32_t id) { return DefaultTexts().texts[id]; }

std::string Expand(uint32_t id, const char* value1, const char* value2, const char* value3) {
    char expanded[512];
    ExpandTemplate(expanded, sizeof expanded, Text(id), value1, value2, value3,
                   DefaultTexts().textCodePage);
    return expanded;
}

std::string ResourceText(uint32_t id) {
    char text[260];
    LoadResourceText(id, text, sizeof text);
    return text;
}

}  // namespace pkx::gui
