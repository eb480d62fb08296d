' A host's view of the installed component: brennow.vmwarecom created by its ProgID runs
' checks against the stand-in server (BRENNOW_STANDIN_INVENTORY names the sample inventory).
Option Explicit
Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, what)
  If ok Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Const monitor = "#VSTP=VMWARE#USR=monitor#PWD=czNjcmV0IQ==#"

Sub ExpectCheck(parameter, expectedAnswer, message)
  Dim o, answer
  Set o = CreateObject("brennow.vmwarecom")
  o.qm_hostname = "esx01.example.test"
  o.qm_timeout = 30
  o.qm_parameter = monitor & parameter
  answer = o.qm_docheck
  Check answer = expectedAnswer, parameter & ": answer " & answer
  Check o.qm_result = message, parameter & ": qm_result [" & o.qm_result & "]"
End Sub

ExpectCheck "VMN=web01#VMS=on#", True, "Virtual machine (web01) is on"
ExpectCheck "", True, "6 registered virtual machine(s) on this server"

WScript.Echo "installed.vbs: " & passed & " passed, " & failed & " failed"
