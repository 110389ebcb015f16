# Parses PowerShell with PowerShell's own parser:
#   pwsh -NoProfile -File powershell_syntax.ps1 FILE...
# A .ps1 file is parsed whole and must be ASCII (Windows PowerShell 5.1
# reads a file without a byte order mark in the system's code page); in a
# Markdown file every ```powershell block is parsed, and in a workflow every
# `run: |` block of a step whose shell is pwsh or powershell. Syntax that
# Windows PowerShell 5.1 cannot read is a finding too: the script and the
# examples must run there. Prints each finding with its file and line, and
# exits 1 if there is any.
using namespace System.Management.Automation.Language
param([Parameter(Mandatory, ValueFromRemainingArguments)][string[]]$Files)
Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'

# The pieces of a file to parse, each with the line it starts on (from 1).
function Get-Pieces([string]$File, [string[]]$Lines) {
  if ($File.EndsWith('.ps1')) { return @{ Text = $Lines -join "`n"; FirstLine = 1 } }
  # In a workflow, the step each line belongs to (the line that opens it),
  # and the steps whose shell is PowerShell, wherever `shell:` stands.
  $step = -1
  $stepOf = @(foreach ($i in 0..($Lines.Count - 1)) { if ($Lines[$i] -match "^\s*- ") { $step = $i }; $step })
  $powershellSteps = @(foreach ($i in 0..($Lines.Count - 1)) {
      if ($Lines[$i] -match '^\s*(- )?shell: (pwsh|powershell)\s*$') { $stepOf[$i] } })
  for ($i = 0; $i -lt $Lines.Count; $i++) {
    $end = $i + 1
    if ($File.EndsWith('.md') -and $Lines[$i].Trim() -eq '```powershell') {
      while ($end -lt $Lines.Count -and $Lines[$end].Trim() -ne '```') { $end++ }
    } elseif ($File.EndsWith('.yml') -and $Lines[$i] -match '^(\s*)run: \|\s*$' -and
              $powershellSteps -contains $stepOf[$i]) {
      $indent = $Matches[1].Length
      while ($end -lt $Lines.Count -and ($Lines[$end].Trim() -eq '' -or
             $Lines[$end].Length - $Lines[$end].TrimStart().Length -gt $indent)) { $end++ }
    } else {
      continue
    }
    @{ Text = ($Lines | Select-Object -Skip ($i + 1) -First ($end - $i - 1)) -join "`n"; FirstLine = $i + 2 }
    $i = $end - 1
  }
}

# What Windows PowerShell 5.1 cannot parse, by the node that holds it.
function Get-NewerSyntax([Ast]$Node) {
  switch ($Node) {
    { $_ -is [TernaryExpressionAst] } { 'a ternary (? :)' }
    { $_ -is [BinaryExpressionAst] -and $_.Operator -eq [TokenKind]::QuestionQuestion } { '??' }
    { $_ -is [AssignmentStatementAst] -and $_.Operator -eq [TokenKind]::QuestionQuestionEquals } { '??=' }
    { $_ -is [PipelineChainAst] } { '&& or || between pipelines' }
    { $_ -is [MemberExpressionAst] -and $_.NullConditional } { '?.' }
    { $_ -is [IndexExpressionAst] -and $_.NullConditional } { '?[]' }
    { $_ -is [PipelineAst] -and $_.Background } { 'a pipeline sent to the background with &' }
    { $_ -is [ScriptBlockAst] -and $_.CleanBlock } { 'a clean block' }
  }
}

$findings = 0
$scripts = 0
function Write-Finding([string]$File, [int]$Line, [string]$Message) {
  "${File}:${Line}: $Message"
  $script:findings++
}
foreach ($file in $Files) {
  $text = [System.IO.File]::ReadAllText($file)
  $lines = $text -split '\r?\n'
  if ($file.EndsWith('.ps1')) {
    for ($i = 0; $i -lt $lines.Count; $i++) {
      if ($lines[$i] -match '[^\x00-\x7f]') { Write-Finding $file ($i + 1) 'not ASCII' }
    }
  }
  $pieces = @(Get-Pieces $file $lines)
  # A Markdown page may hold none; a script or a workflow given here must.
  if ($pieces.Count -eq 0 -and -not $file.EndsWith('.md')) { Write-Finding $file 1 'no PowerShell found' }
  foreach ($piece in $pieces) {
    $scripts++
    $tokens = $errors = $null
    $ast = [Parser]::ParseInput($piece.Text, [ref]$tokens, [ref]$errors)
    $at = { param($Extent) $piece.FirstLine + $Extent.StartLineNumber - 1 }
    foreach ($e in $errors) {
      Write-Finding $file (& $at $e.Extent) "$($e.Message) near '$(($e.Extent.Text -split "`n")[0])'"
    }
    foreach ($node in $ast.FindAll({ $true }, $true)) {
      foreach ($what in Get-NewerSyntax $node) {
        Write-Finding $file (& $at $node.Extent) "$what, which Windows PowerShell 5.1 cannot parse"
      }
    }
  }
}
"powershell syntax: $scripts script(s) in $($Files.Count) file(s), $findings finding(s)"
exit $(if ($findings -eq 0) { 0 } else { 1 })
