#include "frontend/program_window.h"

#include "frontend/qt/qt_host.h"

namespace frontend {

bool WindowAvailable() { return qt::DisplayAvailable(); }

int RunInWindow(int argc, char** argv, const std::string& programPath, bool answerYes) {
    qt::QtOptions options;
    options.answerYes = answerYes;
    return qt::RunInWindow(argc, argv, programPath, options);
}

}  // namespace frontend
