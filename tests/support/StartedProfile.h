#pragma once

#include "TestProfile.h"

#include <QtTest>

// A throw-away profile with the program started on it; a refused start fails the test.
struct StartedProfile : TestProfile {
    StartedProfile() { START_OK(); }
};
