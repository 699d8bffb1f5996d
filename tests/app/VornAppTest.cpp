#include "app/VornApp.h"

#include "app/MainWindow.h"
#include "app/SettingsWindowManager.h"

#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using vorn::app::VornApp;

class VornAppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(config_.isValid());
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        QDir(config_.path()).mkpath("vorn-osc");
        std::ofstream(config_.filePath("vorn-osc/settings.json").toStdString())
            << R"({"receivePort": 0, "targetIP": "127.0.0.1", "title": "From the file"})";
    }

    void loadsTheUsersSettingsAndShowsOneMainWindow() {
        VornApp app;
        QCOMPARE(app.settings()->title.get(), std::string("From the file"));
        QVERIFY(app.manager() != nullptr);
        app.show();
        QVERIFY(QTest::qWaitForWindowExposed(app.mainWindow()));
        QCOMPARE(app.mainWindow()->windowTitle(), QString("Vorn OSC 2"));
    }

    void ctrlCommaOpensTheOneSettingsWindow() {
        VornApp app;
        app.show();
        QVERIFY(QTest::qWaitForWindowExposed(app.mainWindow()));
        QVERIFY(vorn::app::SettingsWindowManager::window() == nullptr);
        QTest::keyClick(app.mainWindow(), Qt::Key_Comma, Qt::ControlModifier);
        QWidget* settings = vorn::app::SettingsWindowManager::window();
        QVERIFY(settings != nullptr);
        QTRY_VERIFY(settings->isVisible());
        QTest::keyClick(app.mainWindow(), Qt::Key_Comma, Qt::ControlModifier);
        QCOMPARE(vorn::app::SettingsWindowManager::window(), settings);
    }

    void closingTheWindowKeepsItsFrame() {
        QRect frame;
        {
            VornApp app;
            app.show();
            QVERIFY(QTest::qWaitForWindowExposed(app.mainWindow()));
            app.mainWindow()->resize(420, 180);
            frame = app.mainWindow()->geometry();
            app.mainWindow()->close();
        }
        VornApp again;
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(again.mainWindow()));
        QCOMPARE(again.mainWindow()->size(), frame.size());
    }

private:
    QTemporaryDir config_;
};

QTEST_MAIN(VornAppTest)
#include "VornAppTest.moc"
