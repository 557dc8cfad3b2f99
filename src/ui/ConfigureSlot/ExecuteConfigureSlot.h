#pragma once
// The window's "Settings..." of a slot: the dialog, modally, and after OK the
// controller's follow-up (store, restart what changed). Main thread.
class QWidget;
class TLoggerMain;

// True when the user pressed OK. An index outside the slots does nothing.
bool ExecuteConfigureSlot(TLoggerMain& iController, int iSlotIndex, QWidget* iParent);
