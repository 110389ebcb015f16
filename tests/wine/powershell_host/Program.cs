// pwsh's command line (its options, then -File and the script's own
// arguments) on PowerShell 7.6 hosted from NuGet, so that a Windows
// PowerShell 7 answers on Wine's registry and Windows Installer.
return Microsoft.PowerShell.ConsoleShell.Start(string.Empty, string.Empty, args);
