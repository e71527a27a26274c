#include "frontend/program_window.h"

#include "frontend/qt/qt_host.h"

namespace frontend {

bool WindowAvailable() { return qt::DisplayAvailable(); }

int RunInWindow(int argc, char** argv, const app::DialogOptions& dialogOptions, bool answerYes) {
    qt::QtOptions options;
    options.answerYes = answerYes;
    return qt::RunInWindow(argc, argv, dialogOptions, options);
}

}  // namespace frontend
