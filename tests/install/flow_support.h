#pragma once
// What the install-flow tests share: a release served on 127.0.0.1 from the test
// process, a scripted user who acts on the window while the script waits, the main
// window of a run, and the run's log records with addresses masked.

#include "app/run_state.h"
#include "app/application_extended.h"
#include "i18n/setup_translator.h"
#include "install/setup_installation.h"
#include "platform/platform.h"
#include "app/setup_core.h"
#include "net/net_test_support.h"
#include "net/release_server.h"
#include "ui/main_window.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>

#include <gtest/gtest.h>

namespace flowtest {

// A descriptor as a release server publishes it.
inline QByteArray descriptor(const QString& version, qint64 bytes = 0, int count = 0, const QString& number = "7")
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<system>\r\n");
    if (!version.isNull())
        xml += QStringLiteral("  <version>%1</version>\r\n").arg(version);
    xml += QStringLiteral("  <number>%1</number>\r\n  <size bytes=\"%2\" fileCount=\"%3\">8.1</size>\r\n</system>\r\n")
               .arg(number)
               .arg(bytes)
               .arg(count);
    return xml.toUtf8();
}

template <typename T = QWidget>
T* control(const QString& name)
{
    return MainWindow ? MainWindow->findChild<T*>(name) : nullptr;
}

inline bool visible(const QString& name)
{
    QWidget* widget = control(name);
    return widget && widget->isVisible();
}

// Acts for the user: each step waits until its condition holds on the window, acts
// once, and hands over to the next step. The steps run from a timer, so they act
// inside the script's own waits.
class ScriptedUser {
public:
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
    };

    ScriptedUser()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(5);
    }

    ScriptedUser& then(std::function<bool()> ready, std::function<void()> act)
    {
        m_steps.push_back({std::move(ready), std::move(act)});
        return *this;
    }
    // Presses the action button once it shows on the page whose control `name` is visible.
    ScriptedUser& press(const QString& pageControl)
    {
        return then([pageControl] { return visible(pageControl) && nextEnabled(); },
                    [] { control<QAbstractButton>(QStringLiteral("btnNext"))->click(); });
    }
    ScriptedUser& closeOn(const QString& pageControl)
    {
        return then([pageControl] { return visible(pageControl); }, [] { MainWindow->close(); });
    }
    ScriptedUser& acceptLicence()
    {
        return then([] { return visible(QStringLiteral("cbAcceptEULA")); },
                    [] { control<QAbstractButton>(QStringLiteral("cbAcceptEULA"))->click(); })
            .press(QStringLiteral("cbAcceptEULA"));
    }
    ScriptedUser& chooseLanguage(const QString& id)
    {
        return then([id] { return visible(QStringLiteral("Lang_") + id); },
                    [id] { control<QAbstractButton>(QStringLiteral("Lang_") + id)->click(); })
            .press(QStringLiteral("lbBox"));
    }
    bool finished() const { return m_steps.empty(); }

private:
    static bool nextEnabled()
    {
        auto* button = control<QAbstractButton>(QStringLiteral("btnNext"));
        return button && button->isVisible() && button->isEnabled();
    }
    void tick()
    {
        if (!m_steps.empty() && MainWindow && m_steps.front().ready()) {
            const Step step = m_steps.front();
            m_steps.pop_front();
            step.act();
        }
    }

    QTimer m_timer;
    std::deque<Step> m_steps;
};

// The records of the log from the script's first line on, with the server's address masked.
inline QStringList scriptRecords(const QString& base)
{
    QStringList lines;
    bool started = false;
    for (QString line : nettest::records()) {
        started = started || line.contains(QStringLiteral("[CInstallation] Run - Begin"));
        if (started)
            lines << line.replace(base, QStringLiteral("<base>/"));
    }
    return lines;
}

// Runs the install script against `server` (nothing serves when it is null) with the
// window of a fresh run in `lang`.
// `base` replaces the server's address (a child run gets it from its parent).
inline void runScript(ReleaseServer* server, const QString& lang = QStringLiteral("en_GB"), QString base = QString())
{
    if (base.isEmpty())
        base = server ? server->base() : QStringLiteral("http://127.0.0.1:1/");
    qputenv("VRN_RELEASE_BASE_URL", base.toUtf8());
    qputenv("VRN_BETA_BASE_URL", (base + QStringLiteral("beta/")).toUtf8());
    qputenv("VRN_COUNTER_RELEASE_URL", (base + QStringLiteral("count")).toUtf8());
    qputenv("VRN_COUNTER_BETA_URL", (base + QStringLiteral("count-beta")).toUtf8());
    gSystemLangAlias = lang;
    platform::setApplicationTitle(gBetaMode ? QStringLiteral("Vorlen Setup [BETA]") : QStringLiteral("Vorlen Setup"));
    CTranslator::SetBetaMode(gBetaMode);
    CreateMainWindow(lang)->show();
    CInstallation::Run();
}

// A test that needs switches on the program's own command line runs again as a child
// of itself with them.
inline bool isChild()
{
    return qEnvironmentVariableIsSet("VRN_FLOW_CHILD");
}

// The child finds `base` in VRN_FLOW_BASE.
inline void runAsChild(const QStringList& switches, const QString& base = QString())
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VRN_FLOW_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("VRN_FLOW_BASE"), base);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                QStringList{QStringLiteral("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name())}
                    + switches);
    ASSERT_TRUE(child.waitForFinished(120000));
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString();
    // a filter that matched nothing would pass as well
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test.")) << out.toStdString();
}

}  // namespace flowtest
