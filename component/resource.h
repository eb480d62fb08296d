#pragma once
// Resource ids of brennow.dll.
#define IDI_FRMMAIN 101
