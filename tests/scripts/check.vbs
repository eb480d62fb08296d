' The availability check as a late-bound script host runs it: brennow.vmwarecom against the
' stand-in server, whose inventory is standin\sample-inventory.txt (the environment variable
' BRENNOW_STANDIN_INVENTORY, set by whoever starts cscript, names it).
' The password of every "monitor" account there is s3cret!, Base64 "czNjcmV0IQ==".
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

' The answer and qm_result of the latest check (Wine's VBScript is safer without arrays).
Dim answer, result

' One check on a fresh object, as a host makes it: the three properties, then qm_docheck.
Sub RunCheck(hostname, parameter)
  Dim o
  Set o = CreateObject("brennow.vmwarecom")
  o.qm_hostname = hostname
  o.qm_timeout = 30
  o.qm_parameter = parameter
  answer = o.qm_docheck
  result = o.qm_result
  Set o = Nothing
End Sub

Sub ExpectCheck(what, hostname, parameter, expectedAnswer, message)
  RunCheck hostname, parameter
  Check VarType(answer) = vbBoolean, what & ": the answer is a Boolean"
  Check answer = expectedAnswer, what & ": answer " & answer & ", expected " & expectedAnswer
  Check VarType(result) = vbString, what & ": qm_result is text"
  Check result = message, what & ": qm_result [" & result & "], expected [" & message & "]"
End Sub

' A failure whose description is the component's own: only the form is fixed.
Sub ExpectFailureAt(what, hostname, parameter, statement)
  Dim tail
  RunCheck hostname, parameter
  tail = "(at  " & statement & ")"
  Check VarType(answer) = vbBoolean And answer = False, what & ": answer " & answer
  Check Left(result, 5) = "ERR: " And Right(result, Len(tail)) = tail And _
        Len(result) > 5 + Len(tail), what & ": qm_result [" & result & "]"
  If debugOutput Then WScript.Echo what & ": " & result
End Sub

' Set BRENNOW_CHECK_VBS_VERBOSE to see the component's own descriptions.
Dim debugOutput, inventory
debugOutput = CreateObject("WScript.Shell").Environment("PROCESS")("BRENNOW_CHECK_VBS_VERBOSE") <> ""
inventory = CreateObject("WScript.Shell").Environment("PROCESS")("BRENNOW_STANDIN_INVENTORY")
Check LCase(Right(inventory, 20)) = "sample-inventory.txt", _
      "BRENNOW_STANDIN_INVENTORY names the sample inventory: [" & inventory & "]"

Const esx = "esx01.example.test"
Const monitor = "#VSTP=VMWARE#USR=monitor#PWD=czNjcmV0IQ==#"

ExpectCheck "count", esx, monitor & "VMN=#VMS=#", True, _
            "6 registered virtual machine(s) on this server"
ExpectCheck "count without a machine key", esx, monitor, True, _
            "6 registered virtual machine(s) on this server"
ExpectCheck "machine in its expected state", esx, monitor & "VMN=web01#VMS=on#", True, _
            "Virtual machine (web01) is on"
ExpectCheck "machine with blanks in its name", esx, _
            monitor & "VMN=build agent (nightly)#VMS=suspended#", True, _
            "Virtual machine (build agent (nightly)) is suspended"
ExpectCheck "state code 4 is stuck", esx, monitor & "VMN=migrating-vm#VMS=stuck#", True, _
            "Virtual machine (migrating-vm) is stuck"
ExpectCheck "machine in another state", esx, monitor & "VMN=db01#VMS=on#", False, _
            "Virtual machine (db01) is in a off state while it should be on"
ExpectCheck "unknown machine", esx, monitor & "VMN=web99#VMS=on#", False, _
            "Can't get the state of this (web99) virtual machine, it's not listed as a known one"
ExpectCheck "wrong password", esx, "#VSTP=VMWARE#USR=monitor#PWD=d3Jvbmc=#VMN=web01#VMS=on#", _
            False, "ERR: Incorrect user name or password for host esx01.example.test(at  130)"
ExpectCheck "no registered machines", "empty.example.test", monitor & "VMN=web01#VMS=on#", _
            False, "No registered virtual machines on this server"
ExpectCheck "empty password", "lab.example.test", _
            "#VSTP=VMWARE#USR=administrator#PWD=#VMN=lab win11 (template)#VMS=off#", True, _
            "Virtual machine (lab win11 (template)) is off"
ExpectCheck "server refuses the connect", "down.example.test", monitor & "VMN=#VMS=#", False, _
            "ERR: The host is not responding(at  130)"

' Failures that the stand-in reports in each of its styles reach qm_result with their own
' descriptions (the deferred one is filled in by the component's adapter).
ExpectCheck "deferred failure of the list", "flaky.example.test", monitor & "VMN=app01#VMS=on#", _
            False, "ERR: The server could not enumerate its virtual machines(at  140)"
ExpectCheck "error-information failure of a machine connect", "broken.example.test", _
            monitor & "VMN=unreachable-vm#VMS=on#", False, _
            "ERR: The virtual machine is not responding(at  390)"
ExpectCheck "immediate failure of a state", "broken.example.test", _
            monitor & "VMN=locked-vm#VMS=off#", False, _
            "ERR: The state of the virtual machine cannot be read(at  400)"
ExpectCheck "failure of the fourth item", "broken.example.test", _
            monitor & "VMN=hidden-vm#VMS=on#", False, _
            "ERR: The fourth registered machine cannot be read(at  370)"
ExpectCheck "machine before the failing item", "broken.example.test", _
            monitor & "VMN=ok-vm#VMS=on#", True, "Virtual machine (ok-vm) is on"

' Values the check cannot use end in an error report, never in a script error.
ExpectFailureAt "malformed password", esx, "#USR=monitor#PWD==abc#", 50
ExpectFailureAt "Null parameter", esx, Null, 40
ExpectFailureAt "Null host name", Null, monitor, 100

WScript.Echo "check.vbs: " & passed & " passed, " & failed & " failed"
