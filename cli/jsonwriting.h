#pragma once

#include "core/facialpoints.h"

#include <QRect>
#include <QString>

#include <json/json.h>

// The JSON pieces every command prints in the same form: strings, point lists, rectangles and
// the document's text with 17 significant digits. Private to the command line. Any thread.
namespace cli::json {

Json::Value string(const QString& text);
// [[x, y], …]
Json::Value pointsArray(const core::FacialPointVector& points);
// [left, top, right, bottom]
Json::Value rectArray(const QRect& rect);
// Indented, UTF-8, without comments, numbers with 17 significant digits.
QString toText(const Json::Value& document);

} // namespace cli::json
