// The server finds ../cfg, ../www, ../res and ../firmware relative to its working directory.
#pragma once

namespace kinetra::app {

/// When the working directory sees none of the install folders, changes it to the directory of
/// the executable, so a server started from elsewhere still finds its files. Call on the main
/// thread before any other thread starts. True when the directory was changed.
bool enterInstallLayout();

}  // namespace kinetra::app
