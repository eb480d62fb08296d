#pragma once
// Resource ids the dialogs load from this module; the component's resource script
// stores the resources under them. Plain defines: the resource compiler reads it too.
#define IDI_FRMMAIN 101
