// The toolkit application a widget test needs, as a fixture member:
// constructed before the widgets of the test and destroyed after them.
#pragma once

#include <QApplication>

struct QtApp {
    int argc = 1;
    char name[8] = "orvel";
    char *argv[2] = {name, nullptr};
    QApplication app{argc, argv};
};
