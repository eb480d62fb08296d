' A late-bound host's view of brennow.vmwarecom: creation by ProgID, the four
' properties with Let, Set and Get, and the errors a host sees.
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

Dim o, o2, d, x, back
Set o = CreateObject("brennow.vmwarecom")
Set o2 = CreateObject("brennow.vmwarecom")
Check IsObject(o), "CreateObject by ProgID"

Check IsEmpty(o.qm_hostname), "new qm_hostname is Empty"
Check IsEmpty(o.qm_timeout), "new qm_timeout is Empty"
Check IsEmpty(o.qm_parameter), "new qm_parameter is Empty"
Check IsEmpty(o.qm_result), "new qm_result is Empty"

o.qm_hostname = "  srv1  "
Check o.qm_hostname = "  srv1  ", "Let text kept unchanged"
o.qm_timeout = 30
Check VarType(o.qm_timeout) = vbInteger Or VarType(o.qm_timeout) = vbLong, "Let number keeps its type"
Check o.qm_timeout = 30, "Let number"
o.qm_parameter = "#VSTP=VMWARE#USR=alice#PWD=#VMN=web01#VMS=on#"
Check o.qm_parameter = "#VSTP=VMWARE#USR=alice#PWD=#VMN=web01#VMS=on#", "Let parameter string"
o.qm_result = True
Check VarType(o.qm_result) = vbBoolean, "Let Boolean keeps its type"

' A variable passed by reference: the property keeps the value, not the variable.
x = "before"
o.qm_result = x
x = "after"
Check o.qm_result = "before", "Let copies a by-reference value"

' Set keeps the object itself.
Set d = CreateObject("Scripting.Dictionary")
d.Add "k", "v"
Set o.qm_parameter = d
Check IsObject(o.qm_parameter), "Set stores an object"
Check o.qm_parameter Is d, "Set keeps identity"
d.Add "k2", "v2"
Check o.qm_parameter.Count = 2, "the stored object is the live one"
Set o.qm_parameter = Nothing
Check o.qm_parameter Is Nothing, "Set Nothing accepted"

'' Set with a value that is not an object fails and stores nothing.
On Error Resume Next
Err.Clear
Set o.qm_hostname = 5
Check Err.Number <> 0, "Set non-object raises an error"
On Error GoTo 0
Check o.qm_hostname = "  srv1  ", "failed Set leaves the value"

' Objects are independent.
o2.qm_hostname = "other"
Check o.qm_hostname = "  srv1  ", "objects independent (1)"
Check o2.qm_hostname = "other", "objects independent (2)"
Check IsEmpty(o2.qm_parameter), "objects independent (3)"

Set o = Nothing
Set o2 = Nothing
WScript.Echo "properties.vbs: " & passed & " passed, " & failed & " failed"
