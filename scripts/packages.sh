# Package lists shared by the set-up scripts (sourced, not run).
# What building the program and its tests needs.
BUILD_PACKAGES=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite
    libsqlite3-dev)
# What showing the window needs on top: a CJK font, so that the Chinese texts render.
RUN_PACKAGES=(fonts-noto-cjk)
# What the tests need on top: the receivers that tallylog forward's tests start on 127.0.0.1
# (not needed to run the program).
TEST_PACKAGES=(systemd-journal-remote rsyslog)
