// cfgmgr32.dll of the simulated machine has no code of its own: cfgmgr32.def forwards every
// export to setupapi.dll. A DLL still needs one object file to link.
