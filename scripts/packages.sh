# Package lists shared by the set-up scripts (sourced, not run).
# What building the program and its tests needs.
BUILD_PACKAGES=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    libsqlite3-dev)
# What showing the window needs on top: a CJK font, so that the Chinese texts render, and the
# toolkit's own translations, so that its standard menus and dialogs follow a Chinese locale.
RUN_PACKAGES=(fonts-noto-cjk qttranslations5-l10n)
# What building the Debian packages needs on top (scripts/package.sh): dpkg-shlibdeps, which
# finds the packages' dependencies, file, with which CPack picks the binaries out, and lintian;
# the packaging test also validates the desktop entry and the AppStream metadata.
PACKAGING_PACKAGES=(dpkg-dev file lintian desktop-file-utils appstream)
# What the tests need on top: the toolkit's Chinese catalog, whose texts they check, the
# receivers that tallylog forward's tests start on 127.0.0.1 (rsyslog with its TLS driver, and
# python3's http.server for an HTTP server's error answers) and the openssl that makes their
# certificates (none needed to run the program), valgrind, under which
# the window's memory test runs, what the packaging test builds and checks the packages with, and
# groff, with which the manual pages are checked.
TEST_PACKAGES=(qttranslations5-l10n systemd-journal-remote rsyslog rsyslog-gnutls python3 openssl
    valgrind groff-base
    "${PACKAGING_PACKAGES[@]}")
# What the benchmarks compare with (bench_window's long listings beside glogg, bench_service's
# hook beside spdlog's asynchronous logger); not needed to build, test or run anything.
BENCH_PACKAGES=(glogg libspdlog-dev)
