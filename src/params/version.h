// The module's version texts, each in one place: its own version ("v401",
// also the header of every KWT_DATA block and the pages' comment), the build
// number, the VersionTag that KWT_VERSION always carries, and the sources
// label of the error pages' version line.
#pragma once

namespace revozi {

inline constexpr char kProgramVersion[] = "v401";
inline constexpr char kBuildNumber[] = "221";
inline constexpr char kVersionTag[] = "221-OS INCONNU";
inline constexpr char kSourcesLabel[] = "Sources 4.10";

}  // namespace revozi
