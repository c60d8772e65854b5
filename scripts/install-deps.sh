#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with.
# Non-interactive and idempotent: apt runs only when something is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build pkg-config g++ clang libclang-rt-14-dev ccache
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libsndfile1-dev libbson-dev
  # an independent VST 2 header the layout test compares ours with
  dpf-source
  # real banks and songs for integration tests, and a peer to compare with
  timgm6mb-soundfont fluid-soundfont-gm openttd-openmsx fluidsynth
  # corpus checks: an independent MIDI reader and level analysis
  python3-mido python3-numpy
  # the editor window: static Dear ImGui (with its stb rasteriser) and the embedded font
  libimgui-dev libstb-dev fonts-dejavu-extra libx11-dev
  # a display for the editor window test (skipped without one)
  xvfb xauth
  # drives the editor window in the end-to-end test (skipped without it)
  xdotool
  # the Windows cross-build (posix thread model for std::thread) and Wine to test it;
  # dpkg-dev unpacks the ImGui source package the Windows editor is compiled from
  mingw-w64 g++-mingw-w64-x86-64-posix wine64 dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian ships Dear ImGui only as a Linux library: the Windows build compiles
# the same version from its source package, kept here so builds work offline.
deb_src_cache=/var/cache/kelvane/deb-src
imgui_version=$(dpkg-query -W -f='${source:Version}' libimgui-dev)
if [ ! -f "$deb_src_cache/imgui_${imgui_version#*:}.dsc" ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "Adding a deb-src line for Debian's source packages"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$codename" | $SUDO tee /etc/apt/sources.list.d/kelvane-deb-src.sources >/dev/null
    $SUDO apt-get update -qq
  fi
  $SUDO mkdir -p "$deb_src_cache"
  (cd "$deb_src_cache" && $SUDO apt-get source --download-only -qq "imgui=$imgui_version")
fi
