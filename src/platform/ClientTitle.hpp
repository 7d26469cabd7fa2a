#pragma once

namespace platform {

// How the information box names the client built for this system.
#ifdef _WIN32
inline constexpr const char* clientTitle = "Quorvanta Windows Client";
#else
inline constexpr const char* clientTitle = "Quorvanta Linux Client";
#endif

}  // namespace platform
