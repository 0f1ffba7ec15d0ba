// The process-wide console logger: coloured lines on standard output, CR LF line ends,
// minimum level info. Every module logs through spdlog's default logger set up here.
#pragma once

namespace kinetra::core {

/// Installs the process logger as spdlog's default logger. Safe to call more than once.
void initLogging();

}  // namespace kinetra::core
