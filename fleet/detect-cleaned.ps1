<#
.SYNOPSIS
Tells whether the Ravon2 cleanup has left this machine clean.

.DESCRIPTION
A detection rule for management tools. Writes "cleaned" to standard output
and exits 0 when the machine is clean; writes nothing to standard output
when it is not. Clean means both:
- Windows Installer no longer knows the product that the cleanup removes
  (its ProductState is -1, unknown);
- none of the key trees the cleanup deletes exists under
  HKEY_LOCAL_MACHINE in the 64-bit registry view.

Clean speaks of registrations only: it looks at no file. When Windows
Installer could not remove the product (the removal failed, or Windows
Installer stayed busy past the cleanup's 10-minute wait), the cleanup still
deletes the product's registration, so this script answers "cleaned" while
the product's files stay, and a later run cannot remove them. Windows
Installer records each removal it makes in the Application event log
(source MsiInstaller, event 1034, with the removal's status; event 11725
for one that failed): the README says how to find such machines.

It reads the 64-bit view whichever way it is started: a 32-bit PowerShell
would otherwise be sent to WOW6432Node for many of these keys and find
them gone. A key that is a registry link counts as present: it is looked
for in its parent's list of subkeys, not opened (opening follows a link).

Anything it cannot read counts as not clean, and says so on standard
error, a line for each cause. A parent key is listed twice and the lists
are merged, each listing retried when it fails: another installation that
adds or removes a sibling meanwhile neither fails the detection nor hides
a key.

It needs PowerShell's FullLanguage mode. Under an application control
policy (AppLocker or Windows Defender Application Control) that runs it in
ConstrainedLanguage mode, it writes nothing to standard output and says
why on standard error, in one line.

With -Explain it also lists on standard error what remains, a line for
the product and for each key. Without it, standard error stays empty on a
machine that is simply not clean: Configuration Manager takes any text
there as a failed detection, not as "not installed", and would not run
the cleanup.

It changes nothing on the machine and needs no module. Windows PowerShell
5.1 and PowerShell 7, 64-bit or 32-bit.

.PARAMETER Explain
List on standard error what remains.

.EXAMPLE
powershell.exe -NoProfile -ExecutionPolicy Bypass -File detect-cleaned.ps1 -Explain
#>
param(
  [switch]$Explain
)

# First, in any language mode: what follows calls .NET and COM, which
# ConstrainedLanguage refuses. Its one line goes out through cmd, since
# that mode refuses [Console] too.
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
  & "$env:SystemRoot\System32\cmd.exe" /d /c ('>&2 echo not clean: PowerShell runs this script in ' +
    $ExecutionContext.SessionState.LanguageMode + ' mode, as an application control policy does ' +
    'with a script it does not trust; it needs FullLanguage')
  exit 0
}

Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'
# With its output redirected, Windows PowerShell writes progress records to
# standard error, which Configuration Manager would read as a failure. No
# cmdlet that loads a module is used either, for the same reason.
$ProgressPreference = 'SilentlyContinue'

# What the cleanup removes, as its own tables name it; a test of the
# program compares these with them.
$ProductCode = '{343C5F9C-35D1-BF4B-204B-BF246FA1A19C}'
$CleanupKeys = @(
  'SOFTWARE\Classes\Installer\Patches\E2DBB4AA393B877438B0F3B01DFB00B2'
  'SOFTWARE\Classes\Installer\Patches\3A89DD5A5FAA2C87F7F9844F8CDF46EC'
  'SOFTWARE\Classes\Installer\Patches\D7DC7125BA001839E24115936A85A5D7'
  'SOFTWARE\Classes\Installer\Patches\8D9D15CDED1604E325BB28ADD7DD30B6'
  'SOFTWARE\Classes\Installer\Patches\6FA65C6153627E56F95D31124D02B610'
  'SOFTWARE\Classes\Installer\Patches\44587C490BE0B4AFAD9EF6D2DE05B087'
  'SOFTWARE\Classes\Installer\Patches\425F8BDD5DD86A6B596B506B143855E7'
  'SOFTWARE\Classes\Installer\Patches\A557467EAD0AC36C09C24E55E370991A'
  'SOFTWARE\Classes\Installer\Patches\57CA768C8AFCE47F4568444FFA9F13B1'
  'SOFTWARE\Classes\Installer\Patches\BAAFF6BC3A7268E451A22E3E6CD0EF93'
  'SOFTWARE\Classes\Installer\Patches\E8746C9AC6F4C32E4D71DD4F3FE8560D'
  'SOFTWARE\Classes\Installer\Patches\2DF8E856448F4E7EBB7B68A831351EF7'
  'SOFTWARE\Classes\Installer\Patches\1956FE0252026067BC80D8329493ECE3'
  'SOFTWARE\Classes\Installer\Products\C9F5C3431D53B4FB02B4FB42F61A1AC9'
  'SOFTWARE\Classes\Installer\Features\C9F5C3431D53B4FB02B4FB42F61A1AC9'
  'SOFTWARE\Classes\Installer\UpgradeCodes\084E72F16116C09E4DE59376D98C4461'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UpgradeCodes\084E72F16116C09E4DE59376D98C4461'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Components\13DB00C9B7770152B0304198A7AD0C12'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\E2DBB4AA393B877438B0F3B01DFB00B2'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\3A89DD5A5FAA2C87F7F9844F8CDF46EC'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\D7DC7125BA001839E24115936A85A5D7'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\8D9D15CDED1604E325BB28ADD7DD30B6'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\6FA65C6153627E56F95D31124D02B610'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\44587C490BE0B4AFAD9EF6D2DE05B087'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\425F8BDD5DD86A6B596B506B143855E7'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\A557467EAD0AC36C09C24E55E370991A'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\57CA768C8AFCE47F4568444FFA9F13B1'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\BAAFF6BC3A7268E451A22E3E6CD0EF93'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\29E8F4353ABD9F01C22331F12B9933D4'
  'SOFTWARE\Tarnholt\Ravon2\{1A23B247-C9CF-23F5-27AE-6B1FF4BDB52A}'
  'SOFTWARE\Tarnholt\Ravon2\{24919A8D-2502-F9CA-B37B-C348EE6E708C}'
  'SOFTWARE\Tarnholt\Ravon2\{4CA564D7-4F81-1C2C-5429-6609A57D26A5}'
  'SOFTWARE\Tarnholt\Ravon2\{9B739684-14D2-647F-065E-28E21576139A}'
  'SOFTWARE\Tarnholt\Ravon2\{F9B424D4-51A1-60E0-CEB1-1B9097AF9811}'
  'SOFTWARE\Tarnholt\Ravon2\{897B5A9B-25C7-4C20-FD6A-C13EA4397A6A}'
  'SOFTWARE\Tarnholt\Ravon2\{3A041F1F-A2AC-D453-E057-829C89692083}'
  'SOFTWARE\Tarnholt\Ravon2\{67A0279B-3337-5BC2-AA79-56C802EAA72F}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{343C5F9C-35D1-BF4B-204B-BF246FA1A19C}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{9815A65A-DD46-74B9-6088-819C3D10C058}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{79910CD7-CD3A-315F-9CE5-A178A44EB618}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{43F6BC7B-7CD0-064C-FBAD-5B25A5E89027}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{D10A688D-FC94-5A70-20B5-BF1D66B2F43C}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{F9B2F089-B8F8-D5E1-CC2B-B516A34E49C0}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{A60E07D4-4A81-99F2-9F2E-3ED4478EF375}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{A83AC778-0DDC-7528-A784-0A6540732ECF}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{EE412154-1818-E847-A252-FF80D5C9A593}'
  'SOFTWARE\Tarnholt\Ravon2\{1B8BF967-F3AA-A15C-9E91-78D2CB6BB088}'
  'SOFTWARE\Tarnholt\Ravon2\{07467BCC-19D9-D27F-2B4D-6D7E92EC259C}'
  'SOFTWARE\Tarnholt\Ravon2\{AA30B1DF-1F48-1B3E-5C8D-E2B43848E7E8}'
  'SOFTWARE\Tarnholt\Ravon2\{DDB06CE1-0300-EB40-B496-033983D02E42}'
  'SOFTWARE\Classes\Installer\Patches\27B7D6626FD8DDFAF8B4B5A5DD870B0F'
  'SOFTWARE\Classes\Installer\Patches\8E09816AA04AB83280CBC8D3DB6BF1D7'
  'SOFTWARE\Classes\Installer\Patches\F8817198C53BF6D652FEDA54D2172F64'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\27B7D6626FD8DDFAF8B4B5A5DD870B0F'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\8E09816AA04AB83280CBC8D3DB6BF1D7'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Patches\F8817198C53BF6D652FEDA54D2172F64'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\C9F5C3431D53B4FB02B4FB42F61A1AC9'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{D8391032-AC4D-2B15-60E0-9F0ABD7447DD}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{64654F40-A353-D1C1-F16E-AE78D06D540D}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{DCED7F61-2943-612E-102A-E1B9A807116A}'
  'SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{D917AC9E-C26A-48BE-DD7D-CAAD151DC8B2}'
)

# The platform calls, each in a function of its own; the logic below
# them stays the same whoever answers.
# The product's state as Windows Installer reports it (-1: unknown).
function Get-ProductState([string]$Code) {
  $installer = [Activator]::CreateInstance([Type]::GetTypeFromProgID('WindowsInstaller.Installer'))
  $installer.GetType().InvokeMember('ProductState',
    [System.Reflection.BindingFlags]::GetProperty, $null, $installer, @($Code))
}
# HKEY_LOCAL_MACHINE in the 64-bit view.
function Open-MachineView {
  [Microsoft.Win32.RegistryKey]::OpenBaseKey(
    [Microsoft.Win32.RegistryHive]::LocalMachine, [Microsoft.Win32.RegistryView]::Registry64)
}
# One listing of a key's subkeys: their names, or none when it is absent.
function Get-SubkeyListing($Machine, [string]$Path) {
  $key = $Machine.OpenSubKey($Path)
  if ($null -ne $key) {
    try {
      $key.GetSubKeyNames()
    } finally {
      $key.Dispose()
    }
  }
}

$remaining = [System.Collections.Generic.List[string]]::new()
$unreadable = [System.Collections.Generic.List[string]]::new()

try {
  $state = Get-ProductState $ProductCode
  if ($state -ne -1) {
    $remaining.Add("product ${ProductCode}: Windows Installer reports state $state")
  }
} catch {
  $unreadable.Add("product ${ProductCode}: cannot ask Windows Installer: $($_.Exception.Message)")
}

try {
  $machine = Open-MachineView
} catch {
  $machine = $null
  $unreadable.Add("HKEY_LOCAL_MACHINE: cannot open the 64-bit view: $($_.Exception.Message)")
}
# The names of a key's subkeys, as a set; empty when the key is absent.
# A listing goes by index, so a sibling removed meanwhile may hide a name
# from it, or make it throw (Windows PowerShell's reads the count first):
# the key is listed twice, the names merged, and a listing that throws is
# tried again, three times in all.
function Get-SubkeyNames([string]$Path) {
  $names = @{}
  for ($listing = 1; $listing -le 2; $listing++) {
    for ($try = 1; ; $try++) {
      try {
        foreach ($name in Get-SubkeyListing $machine $Path) { $names[$name] = $true }
        break
      } catch {
        if ($try -eq 3) { throw }
      }
    }
  }
  $names
}

if ($null -ne $machine) {
  # Each parent key is listed once for all its rows, and a parent that
  # cannot be listed is one line, whatever the number of its rows.
  $listed = @{}
  foreach ($key in $CleanupKeys) {
    $cut = $key.LastIndexOf('\')
    $parentPath = $key.Substring(0, $cut)
    if (-not $listed.ContainsKey($parentPath)) {
      try {
        $listed[$parentPath] = Get-SubkeyNames $parentPath
      } catch {
        $listed[$parentPath] = $null
        $unreadable.Add("HKLM\${parentPath}: cannot list its subkeys: $($_.Exception.Message)")
      }
    }
    if ($null -ne $listed[$parentPath] -and $listed[$parentPath].ContainsKey($key.Substring($cut + 1))) {
      $remaining.Add("HKLM\$key")
    }
  }
  $machine.Dispose()
}

if ($Explain) {
  foreach ($line in $remaining) {
    [Console]::Error.WriteLine("remains: $line")
  }
}
foreach ($line in $unreadable) {
  [Console]::Error.WriteLine("not clean: $line")
}
if ($remaining.Count -eq 0 -and $unreadable.Count -eq 0) {
  'cleaned'
}
exit 0
