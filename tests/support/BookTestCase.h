#pragma once

#include "BookRows.h"
#include "TestProfile.h"

#include <QtTest>

// A book area's test case: a throw-away profile, the program started once, the small library in
// fresh book tables before every test (a test case's own init() calls this one first).
class BookTestCase : public QObject
{
    Q_OBJECT
protected:
    TestProfile m_profile;
protected slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void init()
    {
        clearBookTables();
        smallLibrary();
    }
};
