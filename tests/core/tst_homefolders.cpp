#include "core/homefolders.h"

#include <QDir>
#include <QStandardPaths>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

namespace {

// Sets name to value, or unsets it for a null value.
void setVariable(const char* name, const QByteArray& value)
{
    if (value.isNull()) {
        qunsetenv(name);
    } else {
        qputenv(name, value);
    }
}

} // namespace

class tst_HomeFolders : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void homeAndBaseFolders_data();
    void homeAndBaseFolders();

private:
    QByteArray oldHome;
    QByteArray oldConfig;
    QByteArray oldCache;
};

void tst_HomeFolders::init()
{
    // qgetenv gives a null array for a variable that is not set, an empty one for one set empty.
    oldHome = qgetenv("HOME");
    oldConfig = qgetenv("XDG_CONFIG_HOME");
    oldCache = qgetenv("XDG_CACHE_HOME");
}

void tst_HomeFolders::cleanup()
{
    setVariable("HOME", oldHome);
    setVariable("XDG_CONFIG_HOME", oldConfig);
    setVariable("XDG_CACHE_HOME", oldCache);
}

void tst_HomeFolders::homeAndBaseFolders_data()
{
    const passwd* account = getpwuid(getuid());
    if (account == nullptr || account->pw_dir[0] != '/') {
        QSKIP("this account has no home folder in the password database");
    }
    const QString accountHome = QString::fromLocal8Bit(account->pw_dir);
    QTest::addColumn<QByteArray>("home");
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("expectedHome");
    QTest::addColumn<QString>("expectedConfig");
    const QByteArray unset;
    const QByteArray absoluteConfig("/somewhere/config");
    QTest::newRow("home-unset") << unset << unset << accountHome << accountHome + "/.config";
    QTest::newRow("home-empty") << QByteArray("") << unset << accountHome << accountHome + "/.config";
    QTest::newRow("home-relative") << QByteArray("some/folder") << unset << accountHome
                                   << accountHome + "/.config";
    QTest::newRow("home-missing-is-kept") << QByteArray("/nonexistent/home") << unset
                                          << "/nonexistent/home" << "/nonexistent/home/.config";
    QTest::newRow("config-relative") << QByteArray("/nonexistent/home") << QByteArray("config")
                                     << "/nonexistent/home" << "/nonexistent/home/.config";
    QTest::newRow("config-empty") << QByteArray("/nonexistent/home") << QByteArray("")
                                  << "/nonexistent/home" << "/nonexistent/home/.config";
    QTest::newRow("config-absolute-is-kept") << QByteArray("/nonexistent/home") << absoluteConfig
                                             << "/nonexistent/home" << QString::fromLatin1(absoluteConfig);
}

void tst_HomeFolders::homeAndBaseFolders()
{
    QFETCH(QByteArray, home);
    QFETCH(QByteArray, config);
    QFETCH(QString, expectedHome);
    QFETCH(QString, expectedConfig);
    setVariable("HOME", home);
    setVariable("XDG_CONFIG_HOME", config);
    setVariable("XDG_CACHE_HOME", QByteArray("cache"));

    core::settleHomeFolders();

    QCOMPARE(QDir::homePath(), expectedHome);
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation), expectedConfig);
    QVERIFY(!qEnvironmentVariableIsSet("XDG_CACHE_HOME"));
}

QTEST_GUILESS_MAIN(tst_HomeFolders)
#include "tst_homefolders.moc"
