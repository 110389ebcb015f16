# The fleet's detection script, its file as shipped, run with its platform
# calls (Windows Installer, the registry's 64-bit view, one listing of a
# key's subkeys) answered by each case instead of by a machine.
BeforeAll {
  $Script = Join-Path $PSScriptRoot '..' '..' 'fleet' 'detect-cleaned.ps1'
  $text = Get-Content -Raw $Script
  $Product = [regex]::Match($text, "ProductCode = '([^']+)'").Groups[1].Value
  $Rows = [regex]::Matches($text, "(?m)^  '(SOFTWARE\\[^']+)'") | ForEach-Object { $_.Groups[1].Value }
  $Parent = { param($Row) $Row.Substring(0, $Row.LastIndexOf('\')) }
  $Leaf = { param($Row) $Row.Substring($Row.LastIndexOf('\') + 1) }

  # What Mock replaces must exist here; the script's own definitions come
  # later, and Pester's mocks, which are aliases, go before them.
  function Get-ProductState($Code) {}
  function Open-MachineView {}
  function Get-SubkeyListing($Machine, $Path) {}

  # Runs the script as a management agent would; returns what it wrote to
  # standard output and to standard error, as lines.
  function Invoke-Detection($Case, [switch]$Explain) {
    # The mocks run in the script's scope, under its strict mode: they find
    # the case in a global variable, with the listings made so far.
    $global:DetectionCase = $Case + @{ Calls = @{} }
    Mock Get-ProductState {
      if ($DetectionCase.State -eq 'throws') { throw 'no class' }
      $DetectionCase.State
    }
    Mock Open-MachineView { [pscustomobject]@{} | Add-Member -PassThru ScriptMethod Dispose {} }
    Mock Get-SubkeyListing {
      $DetectionCase.Calls[$Path] = 1 + $DetectionCase.Calls[$Path]
      & $DetectionCase.Listing $Path $DetectionCase.Calls[$Path]
    }
    $errors = [System.IO.StringWriter]::new()
    $saved = [Console]::Error
    [Console]::SetError($errors)
    try {
      $out = & $Script -Explain:$Explain
    } finally {
      [Console]::SetError($saved)
      Remove-Variable -Scope Global DetectionCase
    }
    # Standard error as written, blank lines too: only the last line's end goes.
    $text = $errors.ToString() -replace '\r?\n\z'
    @{ Out = @($out); Err = @(if ($errors.ToString()) { $text -split '\r?\n' }) }
  }
}

Describe 'detect-cleaned.ps1' {
  It '<Name>' -ForEach @(
    @{ Name = 'a clean machine'; State = -1; Listing = {}; Remains = @(); Unreadable = @() }
    foreach ($state in 1, 2, 5) {
      @{ Name = "the product in state $state"; State = $state; Listing = {}
        Remains = @("product <product>: Windows Installer reports state $state"); Unreadable = @() }
    }
    @{ Name = 'a row present among siblings'; State = -1
      Listing = { param($Path) if ($Path -eq (& $Parent $Rows[29])) { 'Settings', (& $Leaf $Rows[29]) } }
      Remains = @('HKLM\<row 30>'); Unreadable = @() }
    @{ Name = 'a listing that throws once'; State = -1
      Listing = { param($Path, $Call) if ($Path -eq 'SOFTWARE\Classes\Installer\Patches' -and $Call -eq 1) { throw 'gone' } }
      Remains = @(); Unreadable = @() }
    @{ Name = 'a listing that throws three times'; State = -1
      Listing = { param($Path, $Call) if ($Path -eq 'SOFTWARE\Classes\Installer\Patches' -and $Call -le 3) { throw 'refused' } }
      Remains = @(); Unreadable = @('HKLM\SOFTWARE\Classes\Installer\Patches: cannot list its subkeys: refused') }
    @{ Name = 'a parent of 16 rows that never lists'; State = -1
      Listing = { param($Path) if ($Path -eq 'SOFTWARE\Classes\Installer\Patches') { throw 'refused' } }
      Remains = @(); Unreadable = @('HKLM\SOFTWARE\Classes\Installer\Patches: cannot list its subkeys: refused') }
    @{ Name = 'a name that only the second listing has'; State = -1
      Listing = { param($Path, $Call) if ($Path -eq (& $Parent $Rows[60]) -and $Call -eq 2) { & $Leaf $Rows[60] } }
      Remains = @('HKLM\<row 61>'); Unreadable = @() }
    @{ Name = 'Windows Installer that cannot be asked'; State = 'throws'; Listing = {}
      Remains = @(); Unreadable = @('product <product>: cannot ask Windows Installer: no class') }
  ) {
    $expand = { param($Line) [regex]::Replace($Line.Replace('<product>', $Product), '<row (\d+)>',
        { param($m) $Rows[[int]$m.Groups[1].Value - 1] }) }
    $remains = @($Remains | ForEach-Object { 'remains: ' + (& $expand $_) })
    $unreadable = @($Unreadable | ForEach-Object { 'not clean: ' + (& $expand $_) })
    $clean = $remains.Count + $unreadable.Count -eq 0
    $Rows.Count | Should -Be 61
    foreach ($explain in $false, $true) {
      $answer = Invoke-Detection $_ -Explain:$explain
      $answer.Out | Should -Be $(if ($clean) { @('cleaned') } else { @() })
      # Configuration Manager takes any text on standard error for a failed detection.
      $answer.Err | Should -Be $(if ($explain) { $remains + $unreadable } else { $unreadable })
    }
  }
}
