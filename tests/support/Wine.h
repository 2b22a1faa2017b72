#pragma once
// True when the tests run under Wine, which lacks some Windows behaviour (see the README's list).
bool RunningUnderWine();
