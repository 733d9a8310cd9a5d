#pragma once
// Reads JSON and ZIP files with Python's own json and zipfile modules, so that the program's
// writer is checked against an independent reader. Each JSON value comes back tagged with the
// type Python gave it: {"object": [[key, value], ...]} in document order, {"array": [...]},
// {"str": s}, {"bool": b}, {"int": "digits"}, {"float": "<IEEE-754 bits in hex>"}, {"null": null}.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstring>

namespace pythonjson {

inline const char* describerScript()
{
    return R"PY(
import json, struct, sys, zipfile

class Pairs(list):
    pass

def describe(v):
    if isinstance(v, Pairs):
        return {"object": [[k, describe(x)] for k, x in v]}
    if isinstance(v, list):
        return {"array": [describe(x) for x in v]}
    if isinstance(v, bool):
        return {"bool": v}
    if isinstance(v, int):
        return {"int": str(v)}
    if isinstance(v, float):
        return {"float": "%016x" % struct.unpack("<Q", struct.pack("<d", v))[0]}
    if isinstance(v, str):
        return {"str": v}
    return {"null": None}

def load(data):
    return describe(json.loads(data.decode("utf-8"), object_pairs_hook=Pairs))

mode = sys.argv[1]
if mode == "text":
    print(json.dumps(load(sys.stdin.buffer.read())))
elif mode == "member":
    with zipfile.ZipFile(sys.argv[2]) as z:
        print(json.dumps(load(z.read(sys.argv[3]))))
elif mode == "names":
    with zipfile.ZipFile(sys.argv[2]) as z:
        print(json.dumps({"names": [i.filename for i in z.infolist()], "bad": z.testzip()}))
)PY";
}

inline QJsonValue runDescriber(const QStringList& arguments, const QByteArray& input = QByteArray())
{
    QProcess python;
    // What a test preloads (a failing disk, the sanitizer's runtime) is not Python's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    python.setProcessEnvironment(environment);
    python.start(QStringLiteral("python3"),
                 QStringList{QStringLiteral("-c"), QString::fromUtf8(describerScript())} + arguments);
    if (!python.waitForStarted(30000)) {
        return QJsonValue(QJsonValue::Undefined);
    }
    python.write(input);
    python.closeWriteChannel();
    if (!python.waitForFinished(60000) || python.exitCode() != 0) {
        return QJsonValue(QJsonValue::Undefined);
    }
    const QJsonDocument output = QJsonDocument::fromJson(python.readAllStandardOutput());
    return output.isObject() ? QJsonValue(output.object()) : QJsonValue(QJsonValue::Undefined);
}

// The document as Python reads it; undefined when Python cannot read it.
inline QJsonValue describeText(const QByteArray& text)
{
    return runDescriber({QStringLiteral("text")}, text);
}

inline QJsonValue describeMember(const QString& archive, const QString& member)
{
    return runDescriber({QStringLiteral("member"), archive, member});
}

// {"names": [...], "bad": null or the first member failing its CRC}
inline QJsonValue describeArchive(const QString& archive)
{
    return runDescriber({QStringLiteral("names"), archive});
}

inline QString typeOf(const QJsonValue& described)
{
    const QJsonObject object = described.toObject();
    return object.size() == 1 ? object.begin().key() : QString();
}

inline QStringList keysOf(const QJsonValue& described)
{
    QStringList keys;
    const QJsonArray pairs = described.toObject().value(QStringLiteral("object")).toArray();
    for (const QJsonValue& pair : pairs) {
        keys << pair.toArray().at(0).toString();
    }
    return keys;
}

inline QJsonValue member(const QJsonValue& described, const QString& key)
{
    const QJsonArray pairs = described.toObject().value(QStringLiteral("object")).toArray();
    for (const QJsonValue& pair : pairs) {
        if (pair.toArray().at(0).toString() == key) {
            return pair.toArray().at(1);
        }
    }
    return QJsonValue(QJsonValue::Undefined);
}

inline QJsonArray elements(const QJsonValue& described)
{
    return described.toObject().value(QStringLiteral("array")).toArray();
}

inline QString stringOf(const QJsonValue& described)
{
    return described.toObject().value(QStringLiteral("str")).toString();
}

inline QString bitsOf(double value)
{
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return QStringLiteral("%1").arg(bits, 16, 16, QLatin1Char('0'));
}

inline QString floatBitsOf(const QJsonValue& described)
{
    return described.toObject().value(QStringLiteral("float")).toString();
}

} // namespace pythonjson
