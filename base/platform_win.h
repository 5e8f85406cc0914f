#pragma once
// Facts about the platform the program runs on.

// True under Wine (ntdll exports wine_get_version). Used only where Wine is
// known to lack a call or a delivery that Windows has.
bool IsRunningUnderWine();
