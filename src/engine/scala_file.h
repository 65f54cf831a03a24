// Scala scale files (.scl), the tuning format musicians exchange: a
// description line, the number of pitches, then one pitch a line, each in
// cents (a number with a ".") or as a ratio ("5/4", or a whole number "2");
// lines starting with "!" are comments and anything after a pitch is
// ignored. The last pitch is the period (usually 2/1); degree 0, the tonic,
// is implied. Any thread.
#pragma once

#include "engine/temperament.h"

#include <QString>

#include <optional>

// Larger files are refused rather than read: no scale needs a megabyte.
constexpr qint64 MAX_SCALA_FILE_BYTES = 1 << 20;
constexpr int MAX_SCALA_PITCHES = 4096;

struct ScalaScale {
    QString description;  // the file's first line, trimmed
    Scale scale;
};

// The scale in text, or nothing with *error saying what is wrong and on
// which line ("line 4: \"7/0\" is not a pitch").
std::optional<ScalaScale> parse_scala(const QString &text, QString *error);

// The same from a file (UTF-8, or Latin-1 where it is not UTF-8); *error
// names the file: "bad.scl: line 4: ...", "gone.scl: No such file or
// directory".
std::optional<ScalaScale> read_scala_file(const QString &path, QString *error);
