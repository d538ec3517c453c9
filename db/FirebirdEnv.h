#pragma once
#include <string>

// Points the client library at the station's own Firebird configuration (shared server mode, so
// that other tools can read the call database while the station holds it), and at a private lock
// directory when the engine's default one cannot be used. Variables the user set are kept.
// Must run before the first call into the client library.
void PrepareFirebirdEnvironment(const std::string& programDir);

// The configuration directory chosen: programDir + "firebird/" when it holds a firebird.conf,
// otherwise the one shipped with the sources.
std::string FirebirdConfigDir(const std::string& programDir);
