#pragma once

#include <string>

namespace tavelin::bench {

// The request of the peak memory measure: a removeSystemPaths document as close below the
// transport's 1 MiB perform limit as whole paths get it (at most maxRemovalPaths paths,
// about 110 bytes each as encoded), every path below `absentFolder` + "/". The caller
// names a folder that does not exist below a folder of its own in a removable area (the
// end-to-end tests' CacheSandbox, as their maximal requests do): the policy lets every
// path through, the monitor looks for each and finds none, nothing is removed (the answer
// counts them as failed: "0 Pfade entfernt, 9039 fehlgeschlagen").
[[nodiscard]] std::string maximalRemoval(const std::string& absentFolder);

}  // namespace tavelin::bench
