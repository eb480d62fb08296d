#pragma once
// The component's version: 1.0.0.7, written "1.00.0007".
#define BRENNOW_VERSION_MAJOR 1
#define BRENNOW_VERSION_MINOR 0
#define BRENNOW_VERSION_BUILD 0
#define BRENNOW_VERSION_REVISION 7
#define BRENNOW_VERSION_TEXT "1.00.0007"
