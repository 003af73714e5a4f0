// pkxupdate: the self-extracting updater as a console program.
#include <locale.h>

#include <cstring>
#include <string>

#include "core/apply_context.h"
#include "shell/app_startup.h"
#include "shell/console/console_text.h"
#include "shell/console/console_updater.h"
#include "shell/progress_presenter.h"

namespace {

std::string Usage(const char* program) {
    const char* slash = program != nullptr ? std::strrchr(program, '/') : nullptr;
    const std::string name = slash != nullptr ? slash + 1 : program != nullptr ? program : "";
    return "Usage: " + name +
           " [-F]\n"
           "Applies the update package this program carries to the installed program:\n"
           "finds the installation, checks that its files are the expected old version,\n"
           "updates them, and puts every changed file back if a step fails or the update\n"
           "is cancelled.\n"
           "\n"
           "  -F, -f     no confirmation question; after a successful update the backup\n"
           "             files are deleted or kept as the package says, without asking\n"
           "  --help     show this help and exit\n"
           "  --version  show the version and exit\n"
           "\n"
           "Questions are answered on standard input. Ctrl-C answers a question as\n"
           "Cancel or No would; at any other time it cancels the update.\n"
           "\n"
           "Exit status:\n"
           "  0    the update was applied (or --help, --version)\n"
           "  255  an error, a cancellation, or the program to update is running;\n"
           "       the files changed so far have been restored from their backups\n";
}

}  // namespace

int main(int argc, char** argv) {
    const char* first = argc > 1 ? argv[1] : nullptr;
    if (first != nullptr && std::strcmp(first, "--help") == 0) {
        pkx::console::WriteAll(1, Usage(argv[0]));
        return 0;
    }
    if (first != nullptr && std::strcmp(first, "--version") == 0) {
        char title[64];
        pkx::FormatProgramTitle(title);
        pkx::console::WriteAll(1, std::string(title) + "\n");
        return 0;
    }
    // The terminal's encoding for the texts, and its character widths.
    setlocale(LC_ALL, "");
    static pkx::ApplyContext context;
    pkx::PrepareContext(context, first);
    pkx::console::ConsoleUpdater updater(context);
    return updater.Run();
}
