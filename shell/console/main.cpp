// pkxupdate: the self-extracting updater as a console program.
#include <locale.h>

#include "core/apply_context.h"
#include "shell/app_startup.h"
#include "shell/console/console_updater.h"

int main(int argc, char** argv) {
    // The terminal's encoding for the texts, and its character widths.
    setlocale(LC_ALL, "");
    static pkx::ApplyContext context;
    pkx::PrepareContext(context, argc > 1 ? argv[1] : nullptr);
    pkx::console::ConsoleUpdater updater(context);
    return updater.Run();
}
