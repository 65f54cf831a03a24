// The toolkit application a widget test needs, as a fixture member:
// constructed before the widgets of the test and destroyed after them. Its
// argv is a bare "orvel", so it also serves the program's own start-up.
#pragma once

#include <QApplication>
#include <QPushButton>

struct QtApp {
    int argc = 1;
    char name[8] = "orvel";
    char *argv[2] = {name, nullptr};
    QApplication app{argc, argv};
};

// The first push button inside parent showing text ("Zoom\nLeft" ...), or
// null when there is none.
inline QPushButton *button_with_text(const QWidget &parent, const QString &text)
{
    for (QPushButton *button : parent.findChildren<QPushButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}
