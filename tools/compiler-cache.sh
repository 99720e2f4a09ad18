# Sourced by the scripts that build. Every build of one checkout shares one
# compiler cache (build/ccache, unless CCACHE_DIR names another), so the
# libraries that see no Python are compiled once for the C++ tests and for
# the module of each Python version, and a rerun compiles only what changed.
# CMake takes the launcher from the environment when it first configures a
# build tree. Without ccache, builds compile everything, as before.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR=${CCACHE_DIR:-$PWD/build/ccache}
  # The build trees differ, the sources and flags do not: a build tree's
  # path is not part of what an object is looked up by.
  export CCACHE_NOHASHDIR=true
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G}
fi
