#pragma once
// C library locales built for a test into a temporary folder, so that code can be run under a
// locale the machine has not installed (glibc looks in LOCPATH on every setlocale).

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <clocale>
#include <memory>
#include <string>

struct BuiltLocale {
    QByteArray folder;   // for LOCPATH
    QByteArray name;     // for LC_ALL, e.g. "de_DE.UTF-8"
    QString skipReason;  // why it could not be built; empty when it was
};

// The locale of definition `source` (e.g. "de_DE", one of /usr/share/i18n/locales) in UTF-8,
// built once per test process.
inline BuiltLocale builtLocale(const QString& source)
{
    static QTemporaryDir folder;
    static QMap<QString, BuiltLocale> built;
    if (built.contains(source)) {
        return built.value(source);
    }
    BuiltLocale locale;
    const QString localedef = QStandardPaths::findExecutable(QStringLiteral("localedef"));
    const QString definition = QStringLiteral("/usr/share/i18n/locales/") + source;
    if (!folder.isValid()) {
        locale.skipReason = QStringLiteral("no temporary folder for the locale");
    } else if (localedef.isEmpty()) {
        locale.skipReason = QStringLiteral("localedef is not installed (package libc-bin)");
    } else if (!QFile::exists(definition)) {
        locale.skipReason = definition + QStringLiteral(" is missing (package locales)");
    } else {
        locale.folder = QFile::encodeName(folder.path());
        locale.name = source.toLatin1() + ".UTF-8";
        QProcess run;
        run.start(localedef, {QStringLiteral("-i"), source, QStringLiteral("-f"), QStringLiteral("UTF-8"),
                              folder.filePath(QString::fromLatin1(locale.name))});
        // localedef warns about some definitions and still writes them: the file decides.
        run.waitForFinished(120'000);
        if (!QDir(folder.filePath(QString::fromLatin1(locale.name))).exists()) {
            locale.skipReason = QStringLiteral("localedef could not build ") + source + QStringLiteral(": ")
                                + QString::fromLocal8Bit(run.readAllStandardError());
        }
    }
    built.insert(source, locale);
    return locale;
}

// While it lives, this process runs under the locale built from definition `source` (the C
// library's LC_ALL), and so do the programs it starts (LOCPATH and LC_ALL in the environment);
// everything is restored after. An empty source changes nothing.
class LocaleInThisProcess {
public:
    explicit LocaleInThisProcess(const QString& source)
    {
        if (source.isEmpty()) {
            m_active = true;
            return;
        }
        const BuiltLocale locale = builtLocale(source);
        m_skipReason = locale.skipReason;
        if (!m_skipReason.isEmpty()) {
            return;
        }
        m_changed = true;
        m_oldLocPath = qgetenv("LOCPATH");
        m_hadLocPath = qEnvironmentVariableIsSet("LOCPATH");
        m_oldLcAll = qgetenv("LC_ALL");
        m_hadLcAll = qEnvironmentVariableIsSet("LC_ALL");
        m_oldLocale = std::setlocale(LC_ALL, nullptr);
        qputenv("LOCPATH", locale.folder);
        qputenv("LC_ALL", locale.name);
        m_active = std::setlocale(LC_ALL, locale.name.constData()) != nullptr;
    }
    ~LocaleInThisProcess() { restore(); }
    LocaleInThisProcess(const LocaleInThisProcess&) = delete;
    LocaleInThisProcess& operator=(const LocaleInThisProcess&) = delete;

    // Why the locale could not be built (the test should skip); empty when it was.
    QString skipReason() const { return m_skipReason; }
    // Whether the C library took the locale.
    bool isActive() const { return m_active; }
    // Back to the locale before, ahead of the destructor.
    void restore()
    {
        if (!m_changed) {
            return;
        }
        m_changed = false;
        restoreVariable("LOCPATH", m_hadLocPath, m_oldLocPath);
        restoreVariable("LC_ALL", m_hadLcAll, m_oldLcAll);
        std::setlocale(LC_ALL, m_oldLocale.c_str());
    }

private:
    static void restoreVariable(const char* name, bool had, const QByteArray& value)
    {
        if (had) {
            qputenv(name, value);
        } else {
            qunsetenv(name);
        }
    }
    QString m_skipReason;
    bool m_changed = false;
    QByteArray m_oldLocPath;
    bool m_hadLocPath = false;
    QByteArray m_oldLcAll;
    bool m_hadLcAll = false;
    std::string m_oldLocale;
    bool m_active = false;
};
