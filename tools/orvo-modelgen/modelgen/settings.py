"""The 47 run-settings variables every model carries, in the order the runtime
addresses them by position, with their symbol types, data types and defaults."""

from dataclasses import dataclass

DOUBLE, LONG, BOOL = 4, 1, 5

UNSET_REAL = "5.5555e33"
UNSET_INTEGER = "55555555"


@dataclass(frozen=True)
class SettingSpec:
    name: str
    symbol_type: int
    data_type: int
    default: str
    settable: bool = True   # a description may give it a default


def _control(name, data_type, default):
    return SettingSpec(name, 12, data_type, default, settable=False)


def _further(name, data_type, default):
    return SettingSpec(name, 13, data_type, default)


SETTINGS = (
    SettingSpec("cint", 6, DOUBLE, "1000"),
    SettingSpec("ialg", 7, LONG, "14"),
    SettingSpec("nstp", 8, LONG, "10"),
    SettingSpec("maxt", 9, DOUBLE, "1.0e9"),
    SettingSpec("mint", 10, DOUBLE, "1.0e-9"),
    SettingSpec("zzierr", 11, BOOL, "0", settable=False),
    _control("zzstopflag", BOOL, "0"),
    _control("zzrnfl", BOOL, "0"),
    _control("zznist", LONG, "2"),
    _control("zznblk", LONG, "1"),
    _control("zzfrfl", BOOL, "0"),
    _control("zzjefl", BOOL, "0"),
    _control("zzndst", LONG, "0"),
    _control("zzicon", LONG, "0"),
    _control("zzicfl", BOOL, "0"),
    _control("zznavr", LONG, "0"),
    _control("zzinstidx", LONG, "0"),
    _control("zzstepstop", BOOL, "0"),
    _further("nciout", LONG, "1"),
    _further("cioitg", LONG, UNSET_INTEGER),
    _further("cjvitg", BOOL, "1"),
    _further("cssitg", DOUBLE, UNSET_REAL),
    _further("dpsitg", BOOL, "1"),
    _further("ecsitg", BOOL, "0"),
    _further("fdeitg", BOOL, "0"),
    _further("mxoitg", LONG, "6"),
    _further("nrwitg", BOOL, "0"),
    _further("nxeitg", BOOL, "0"),
    _further("tjnitg", DOUBLE, "0.2"),
    _further("tsmitg", BOOL, "0"),
    _further("weditg", BOOL, "1"),
    _further("wesitg", BOOL, "1"),
    _further("wnditg", BOOL, "0"),
    _further("wxditg", BOOL, "0"),
    _further("cieitg", BOOL, "1"),
    _further("ubwitg", LONG, "-1"),
    _further("lbwitg", LONG, "-1"),
    _further("omfitg", LONG, "222"),
    _further("cmd", LONG, "4"),
    _further("dis", LONG, "6"),
    _further("ndbug", LONG, "0"),
    _further("plt", LONG, "6"),
    _further("prn", LONG, "9"),
    _further("malprn", LONG, "10"),
    _further("rrr", LONG, "8"),
    _further("save", LONG, "3"),
    SettingSpec("zzticg", 1, DOUBLE, "0"),
)

BY_NAME = {s.name: s for s in SETTINGS}
