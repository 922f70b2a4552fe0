// The library version, as the "version" command and the modules' __version__
// report it. The build passes it in from the one place it is written.
#ifndef TALPEN_PROTOCOL_VERSION_H_
#define TALPEN_PROTOCOL_VERSION_H_

#include <string_view>

#ifndef TALPEN_VERSION
#error "TALPEN_VERSION must be defined by the build"
#endif

namespace talpen::protocol {

inline constexpr std::string_view kVersion = TALPEN_VERSION;

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_VERSION_H_
