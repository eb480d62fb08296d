package main

// What the vSphere checks beyond the machine state read, preset by flags after the model is made:
// datastores of given sizes, guests, snapshot trees, hosts and their states, triggered alarms, and
// names that vSphere escapes. Every flag names objects as the library (or -datastores) names them;
// -rename comes last. Names are stored as vSphere writes them: "%" as "%25", "/" as "%2f" and "\" as
// "%5c".

import (
	"context"
	"flag"
	"fmt"
	"strconv"
	"strings"
	"time"

	"github.com/vmware/govmomi/simulator"
	"github.com/vmware/govmomi/vim25/mo"
	"github.com/vmware/govmomi/vim25/types"
)

// Bounds of what the flags may ask for, so that a mistyped number cannot exhaust the machine.
const (
	maxDatastores   = 10_000
	maxHosts        = 1_000
	maxSnapshotDays = 36_500
	maxEachChain    = 100
	gib             = int64(1) << 30
)

var (
	datastoreList = flag.String("datastores", "",
		"datastores NAME:CAPACITY:FREE[:inaccessible],... in GiB, named as given; the machines live on the first")
	datastoreCount = flag.Int("datastoreCount", 0,
		"datastores in all (at least those of -datastores); the others LocalDS_N with 1000 GiB, (20 + N mod 80) % free")
	hostCount = flag.Int("hosts", 0,
		"standalone hosts in the first datacenter (vc model); those beyond the model's, DC0_H1 on, hold no machines")
	hostStates = flag.String("hostState", "",
		"host states NAME:STATE,... (a host may appear more than once); STATE is connected, disconnected, "+
			"notResponding, maintenance, or an overall status green, yellow, red, gray")
	toolsStates = flag.String("tools", "",
		"machines' VMware Tools NAME:STATUS,... (guestToolsRunning, guestToolsNotRunning, guestToolsExecutingScripts); "+
			"by default they run on machines that are on and not elsewhere")
	heartbeats = flag.String("heartbeat", "",
		"machines' guest heartbeat NAME:STATUS,... (green, yellow, red, gray); by default green on machines that are on, gray elsewhere")
	snapshotTrees = flag.String("snapshots", "",
		"snapshots MACHINE:NAME:DAYS[/NAME:DAYS...],...: a root snapshot DAYS old with its descendants, each a child "+
			"of the one before; a machine named again gets another root. DAYS counts whole days by the simulator's "+
			"clock (a snapshot is made DAYS and a half days before the start)")
	snapshotsEach = flag.Int("snapshotsEach", 0,
		"gives every machine without -snapshots a chain of N snapshots snap-1..snap-N, snap-1 N days old, each child a day younger")
	alarmList = flag.String("alarms", "",
		"triggered alarms STATUS:ALARM NAME:TYPE:ENTITY,... on the root folder (and the entity), STATUS red or yellow, "+
			"TYPE the entity's managed type (VirtualMachine, HostSystem, Datastore, ...); one Alarm object per name")
	renames = flag.String("rename", "", "renames OLD:NEW,... (machines, hosts, datastores) after every other preset")
)

// fail ends the program over a flag that cannot be followed.
func fail(format string, args ...interface{}) {
	check(fmt.Errorf(format, args...))
}

// listOf splits a flag's list; an empty flag is an empty list.
func listOf(text string) []string {
	if text == "" {
		return nil
	}
	return strings.Split(text, ",")
}

// pairsOf reads NAME:VALUE items.
func pairsOf(flagName, text string) [][2]string {
	var pairs [][2]string
	for _, item := range listOf(text) {
		at := strings.LastIndex(item, ":")
		if at <= 0 {
			fail("-%s: %q is not NAME:VALUE", flagName, item)
		}
		pairs = append(pairs, [2]string{item[:at], item[at+1:]})
	}
	return pairs
}

func numberIn(flagName, text string, min, max int64) int64 {
	n, err := strconv.ParseInt(text, 10, 64)
	if err != nil || n < min || n > max {
		fail("-%s: %q is not a whole number from %d to %d", flagName, text, min, max)
	}
	return n
}

// escapedName is a name as vSphere writes it.
func escapedName(name string) string {
	return strings.NewReplacer("%", "%25", "/", "%2f", "\\", "%5c").Replace(name)
}

type datastoreSpec struct {
	name           string
	capacity, free int64 // bytes
	inaccessible   bool
}

type snapshotSpec struct {
	name string
	days int64
}

type alarmSpec struct {
	status               types.ManagedEntityStatus
	name, kind, instance string
}

// The flags, read and judged before the model is made, so that a mistake costs no time.
var wanted struct {
	datastores []datastoreSpec
	snapshots  map[string][][]snapshotSpec // machine: chains, in the order given
	machines   []string                    // machines of -snapshots, in the order given
	alarms     []alarmSpec
}

func readDatastores() {
	for _, item := range listOf(*datastoreList) {
		parts := strings.Split(item, ":")
		if len(parts) < 3 || len(parts) > 4 || parts[0] == "" || (len(parts) == 4 && parts[3] != "inaccessible") {
			fail("-datastores: %q is not NAME:CAPACITY:FREE[:inaccessible]", item)
		}
		capacity := numberIn("datastores", parts[1], 0, 1<<30)
		free := numberIn("datastores", parts[2], 0, capacity)
		wanted.datastores = append(wanted.datastores,
			datastoreSpec{parts[0], capacity * gib, free * gib, len(parts) == 4})
	}
	if len(wanted.datastores) > maxDatastores || *datastoreCount < 0 || *datastoreCount > maxDatastores {
		fail("-datastores, -datastoreCount: at most %d datastores", maxDatastores)
	}
}

func readSnapshots() {
	wanted.snapshots = map[string][][]snapshotSpec{}
	for _, item := range listOf(*snapshotTrees) {
		at := strings.Index(item, ":")
		if at <= 0 {
			fail("-snapshots: %q is not MACHINE:NAME:DAYS[/NAME:DAYS...]", item)
		}
		machine := item[:at]
		var chain []snapshotSpec
		for _, link := range strings.Split(item[at+1:], "/") {
			days := strings.LastIndex(link, ":")
			if days <= 0 {
				fail("-snapshots: %q is not NAME:DAYS", link)
			}
			chain = append(chain, snapshotSpec{link[:days], numberIn("snapshots", link[days+1:], 0, maxSnapshotDays)})
		}
		if _, seen := wanted.snapshots[machine]; !seen {
			wanted.machines = append(wanted.machines, machine)
		}
		wanted.snapshots[machine] = append(wanted.snapshots[machine], chain)
	}
	if *snapshotsEach < 0 || *snapshotsEach > maxEachChain {
		fail("-snapshotsEach: from 0 to %d", maxEachChain)
	}
}

func readAlarms() {
	for _, item := range listOf(*alarmList) {
		parts := strings.Split(item, ":")
		if len(parts) != 4 || parts[1] == "" || parts[2] == "" || parts[3] == "" {
			fail("-alarms: %q is not STATUS:ALARM NAME:TYPE:ENTITY", item)
		}
		status := types.ManagedEntityStatus(parts[0])
		if status != types.ManagedEntityStatusRed && status != types.ManagedEntityStatusYellow {
			fail("-alarms: a triggered alarm is red or yellow, not %q", parts[0])
		}
		wanted.alarms = append(wanted.alarms, alarmSpec{status, parts[1], parts[2], parts[3]})
	}
}

// prepareInventory judges the flags and sizes the model; presetInventory applies them once it is made.
func prepareInventory(model *simulator.Model) {
	readDatastores()
	readSnapshots()
	readAlarms()
	if *hostCount < 0 || *hostCount > maxHosts {
		fail("-hosts: from 0 to %d", maxHosts)
	}
	if count := *datastoreCount; count > 0 || len(wanted.datastores) > 0 {
		if count < len(wanted.datastores) {
			count = len(wanted.datastores)
		}
		model.Datastore = count
	}
}

// entities of one managed type by their names as stored.
func entitiesByName(kind string) map[string][]mo.Entity {
	named := map[string][]mo.Entity{}
	for _, e := range simulator.Map.All(kind) {
		named[e.Entity().Name] = append(named[e.Entity().Name], e)
	}
	return named
}

// named finds the objects of `kind` called `name` (as typed); a name no object has is a mistake.
func named(index map[string][]mo.Entity, flagName, kind, name string) []mo.Entity {
	found := index[escapedName(name)]
	if len(found) == 0 {
		fail("-%s: no %s named %q", flagName, kind, name)
	}
	return found
}

func presetInventory(model *simulator.Model) {
	addHosts(model)
	presetDatastores()
	presetGuests()
	presetSnapshots(time.Now())
	presetHosts()
	presetAlarms(model)
	presetNames()
}

func addHosts(model *simulator.Model) {
	if *hostCount == 0 {
		return
	}
	if *modelName != "vc" {
		fail("-hosts: the vc model only")
	}
	dc := simulator.Map.Get(simulator.Map.All("Datacenter")[0].Reference()).(*simulator.Datacenter)
	folder := simulator.Map.Get(dc.HostFolder).(*simulator.Folder)
	ctx := &simulator.Context{Context: context.Background(), Map: simulator.Map,
		Session: &simulator.Session{Registry: simulator.NewRegistry()}}
	existing := entitiesByName("HostSystem")
	for i := model.Host; i < *hostCount; i++ {
		name := fmt.Sprintf("%s_H%d", dc.Name, i)
		if len(existing[name]) > 0 {
			continue
		}
		host, fault := simulator.CreateStandaloneHost(ctx, folder, types.HostConnectSpec{HostName: name})
		if fault != nil {
			fail("-hosts: cannot add %s: %T", name, fault)
		}
		host.Runtime.ConnectionState = types.HostSystemConnectionStateConnected
	}
}

func presetDatastores() {
	if len(wanted.datastores) == 0 && *datastoreCount == 0 {
		return
	}
	for name, stores := range entitiesByName("Datastore") {
		var n int
		if _, err := fmt.Sscanf(name, "LocalDS_%d", &n); err != nil {
			continue
		}
		preset := datastoreSpec{name: name, capacity: 1000 * gib, free: int64(20+n%80) * 10 * gib}
		if n < len(wanted.datastores) {
			preset = wanted.datastores[n]
		}
		for _, e := range stores {
			ds := e.(*simulator.Datastore)
			ds.Name = escapedName(preset.name)
			ds.Summary.Name = ds.Name
			ds.Summary.Capacity = preset.capacity
			ds.Summary.FreeSpace = preset.free
			ds.Summary.Accessible = !preset.inaccessible
			info := ds.Info.GetDatastoreInfo()
			info.Name, info.FreeSpace, info.MaxFileSize = ds.Name, preset.free, preset.free
			for i := range ds.Host {
				ds.Host[i].MountInfo.Accessible = types.NewBool(!preset.inaccessible)
			}
		}
	}
}

// presetGuests gives machines the guest that vCenter reports for their power state, then what the
// flags ask for.
func presetGuests() {
	machines := entitiesByName("VirtualMachine")
	for _, e := range simulator.Map.All("VirtualMachine") {
		vm := e.(*simulator.VirtualMachine)
		tools, heartbeat := types.VirtualMachineToolsRunningStatusGuestToolsNotRunning, types.ManagedEntityStatusGray
		if vm.Runtime.PowerState == types.VirtualMachinePowerStatePoweredOn {
			tools, heartbeat = types.VirtualMachineToolsRunningStatusGuestToolsRunning, types.ManagedEntityStatusGreen
		}
		setGuest(vm, string(tools), heartbeat)
	}
	for _, pair := range pairsOf("tools", *toolsStates) {
		switch types.VirtualMachineToolsRunningStatus(pair[1]) {
		case types.VirtualMachineToolsRunningStatusGuestToolsRunning,
			types.VirtualMachineToolsRunningStatusGuestToolsNotRunning,
			types.VirtualMachineToolsRunningStatusGuestToolsExecutingScripts:
		default:
			fail("-tools: %q is no tools running status", pair[1])
		}
		for _, e := range named(machines, "tools", "machine", pair[0]) {
			vm := e.(*simulator.VirtualMachine)
			setGuest(vm, pair[1], vm.GuestHeartbeatStatus)
		}
	}
	for _, pair := range pairsOf("heartbeat", *heartbeats) {
		status := entityStatus("heartbeat", pair[1])
		for _, e := range named(machines, "heartbeat", "machine", pair[0]) {
			vm := e.(*simulator.VirtualMachine)
			setGuest(vm, vm.Guest.ToolsRunningStatus, status)
		}
	}
}

func setGuest(vm *simulator.VirtualMachine, tools string, heartbeat types.ManagedEntityStatus) {
	if vm.Guest == nil {
		vm.Guest = &types.GuestInfo{}
	}
	vm.Guest.ToolsRunningStatus = tools
	vm.GuestHeartbeatStatus = heartbeat
	vm.Summary.QuickStats.GuestHeartbeatStatus = heartbeat
	if vm.Summary.Guest != nil {
		vm.Summary.Guest.ToolsRunningStatus = tools
	}
}

func entityStatus(flagName, text string) types.ManagedEntityStatus {
	status := types.ManagedEntityStatus(text)
	switch status {
	case types.ManagedEntityStatusGreen, types.ManagedEntityStatusYellow, types.ManagedEntityStatusRed,
		types.ManagedEntityStatusGray:
		return status
	}
	fail("-%s: %q is none of green, yellow, red, gray", flagName, text)
	return ""
}

// presetSnapshots gives machines their snapshot trees, made relative to `now`, the simulator's clock
// that CurrentTime reads.
func presetSnapshots(now time.Time) {
	if len(wanted.snapshots) == 0 && *snapshotsEach == 0 {
		return
	}
	machines := entitiesByName("VirtualMachine")
	given := map[*simulator.VirtualMachine]bool{}
	for _, machine := range wanted.machines {
		for _, e := range named(machines, "snapshots", "machine", machine) {
			vm := e.(*simulator.VirtualMachine)
			given[vm] = true
			for _, chain := range wanted.snapshots[machine] {
				addChain(vm, chain, now)
			}
		}
	}
	if *snapshotsEach == 0 {
		return
	}
	chain := make([]snapshotSpec, *snapshotsEach)
	for i := range chain {
		chain[i] = snapshotSpec{fmt.Sprintf("snap-%d", i+1), int64(*snapshotsEach - i)}
	}
	for _, e := range simulator.Map.All("VirtualMachine") {
		if vm := e.(*simulator.VirtualMachine); !given[vm] {
			addChain(vm, chain, now)
		}
	}
}

var snapshotNumber int

// addChain adds a root snapshot with its descendants, each the only child of the one before.
func addChain(vm *simulator.VirtualMachine, chain []snapshotSpec, now time.Time) {
	trees := make([]types.VirtualMachineSnapshotTree, len(chain))
	for i, link := range chain {
		snapshotNumber++
		trees[i] = types.VirtualMachineSnapshotTree{
			Snapshot:   types.ManagedObjectReference{Type: "VirtualMachineSnapshot", Value: fmt.Sprintf("snapshot-%d", snapshotNumber)},
			Vm:         vm.Self,
			Name:       link.name,
			Id:         int32(snapshotNumber),
			CreateTime: now.Add(-time.Duration(link.days)*24*time.Hour - 12*time.Hour),
			State:      vm.Runtime.PowerState,
		}
	}
	for i := len(trees) - 1; i > 0; i-- {
		trees[i-1].ChildSnapshotList = []types.VirtualMachineSnapshotTree{trees[i]}
	}
	if vm.Snapshot == nil {
		vm.Snapshot = &types.VirtualMachineSnapshotInfo{}
	}
	vm.Snapshot.RootSnapshotList = append(vm.Snapshot.RootSnapshotList, trees[0])
	current := trees[len(trees)-1].Snapshot
	vm.Snapshot.CurrentSnapshot = &current
	vm.RootSnapshot = append(vm.RootSnapshot, trees[0].Snapshot)
}

func presetHosts() {
	hosts := entitiesByName("HostSystem")
	for _, pair := range pairsOf("hostState", *hostStates) {
		for _, e := range named(hosts, "hostState", "host", pair[0]) {
			host := e.(*simulator.HostSystem)
			switch state := types.HostSystemConnectionState(pair[1]); state {
			case types.HostSystemConnectionStateConnected, types.HostSystemConnectionStateDisconnected,
				types.HostSystemConnectionStateNotResponding:
				host.Runtime.ConnectionState = state
			default:
				switch status := types.ManagedEntityStatus(pair[1]); status {
				case types.ManagedEntityStatusGreen, types.ManagedEntityStatusYellow,
					types.ManagedEntityStatusRed, types.ManagedEntityStatusGray:
					host.OverallStatus = status
					host.Summary.OverallStatus = status
				default:
					if pair[1] != "maintenance" {
						fail("-hostState: %q is none of connected, disconnected, notResponding, maintenance, "+
							"green, yellow, red, gray", pair[1])
					}
					host.Runtime.InMaintenanceMode = true
				}
			}
		}
	}
}

// presetAlarms triggers alarms on the root folder, as vCenter lists every triggered alarm there. The
// library has no alarms: an Alarm object of the library's managed object type is added for each name,
// which the property collector answers like any other.
func presetAlarms(model *simulator.Model) {
	if len(wanted.alarms) == 0 {
		return
	}
	root := simulator.Map.Get(model.ServiceContent.RootFolder).(*simulator.Folder)
	alarms := map[string]*mo.Alarm{}
	indexes := map[string]map[string][]mo.Entity{}
	now := time.Now()
	for _, triggered := range wanted.alarms {
		alarm, ok := alarms[triggered.name]
		if !ok {
			alarm = &mo.Alarm{}
			simulator.Map.Put(alarm)
			alarm.Info = types.AlarmInfo{
				AlarmSpec: types.AlarmSpec{Name: triggered.name, Description: triggered.name, Enabled: true,
					Expression: &types.OrAlarmExpression{}},
				Key: alarm.Self.Value, Alarm: alarm.Self, Entity: root.Self, LastModifiedTime: now,
			}
			alarms[triggered.name] = alarm
		}
		if indexes[triggered.kind] == nil {
			indexes[triggered.kind] = entitiesByName(triggered.kind)
		}
		for _, e := range named(indexes[triggered.kind], "alarms", triggered.kind, triggered.instance) {
			entity := e.Entity()
			state := types.AlarmState{Key: alarm.Self.Value + "." + entity.Self.Value, Entity: entity.Self,
				Alarm: alarm.Self, OverallStatus: triggered.status, Time: now, Acknowledged: types.NewBool(false)}
			root.TriggeredAlarmState = append(root.TriggeredAlarmState, state)
			if entity != &root.ManagedEntity {
				entity.TriggeredAlarmState = append(entity.TriggeredAlarmState, state)
			}
		}
	}
}

func presetNames() {
	for _, item := range listOf(*renames) {
		at := strings.Index(item, ":")
		if at <= 0 || at == len(item)-1 {
			fail("-rename: %q is not OLD:NEW", item)
		}
		old, name := item[:at], escapedName(item[at+1:])
		var found []mo.Entity
		for _, kind := range []string{"VirtualMachine", "HostSystem", "Datastore"} {
			found = append(found, entitiesByName(kind)[escapedName(old)]...)
		}
		if len(found) == 0 {
			fail("-rename: no machine, host or datastore named %q", old)
		}
		for _, e := range found {
			switch object := e.(type) {
			case *simulator.VirtualMachine:
				object.Config.Name = name
				object.Summary.Config.Name = name
			case *simulator.HostSystem:
				object.Summary.Config.Name = name
				if parent := simulator.Map.Get(*object.Parent); parent != nil && parent.(mo.Entity).Entity().Name == object.Name {
					parent.(mo.Entity).Entity().Name = name
				}
			case *simulator.Datastore:
				object.Summary.Name = name
				object.Info.GetDatastoreInfo().Name = name
			}
			e.Entity().Name = name
		}
	}
}
