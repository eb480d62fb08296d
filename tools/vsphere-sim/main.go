// vsphere-sim serves a simulated vCenter or ESX host on a loopback port for brennow's tests, demo and
// benchmark. It adds to the simulator library what those need: paged property retrieval, preset power and
// connection states, pending questions, one accepted credential pair, servers that answer wrongly or never,
// a count of live sessions at /brennow/sessions and of the requests received at /brennow/requests,
// and with -quickack an acknowledgement of each request's headers at once (requests.go). For
// the checks beyond the machine state it presets (inventory.go) datastores of given sizes (-datastores,
// -datastoreCount), guests' tools and heartbeats (-tools, -heartbeat), snapshot trees of given ages
// (-snapshots, -snapshotsEach), more hosts and their states (-hosts, -hostState), triggered alarms
// (-alarms) and names that vSphere escapes (-rename). It prints its URL on one line and runs until
// SIGTERM or SIGINT.
package main

import (
	"bytes"
	"crypto/rand"
	"crypto/rsa"
	"crypto/tls"
	"crypto/x509"
	"crypto/x509/pkix"
	"encoding/pem"
	"flag"
	"fmt"
	"log"
	"math/big"
	"net"
	"net/http"
	"net/url"
	"os"
	"os/signal"
	"strings"
	"sync"
	"syscall"
	"time"

	"github.com/vmware/govmomi/simulator"
	"github.com/vmware/govmomi/vim25/methods"
	"github.com/vmware/govmomi/vim25/soap"
	"github.com/vmware/govmomi/vim25/types"
)

var pageSize = flag.Int("page", 0, "objects per RetrievePropertiesEx answer (0: all)")

// pagedCollector answers property retrievals a page at a time; the library answers everything at once.
type pagedCollector struct {
	simulator.PropertyCollector
}

var pending = struct {
	sync.Mutex
	next int
	rest map[string][]types.ObjectContent
}{rest: map[string][]types.ObjectContent{}}

func pageOf(objects []types.ObjectContent, maxObjects int32) types.RetrieveResult {
	limit := *pageSize
	if maxObjects > 0 && (limit == 0 || int(maxObjects) < limit) {
		limit = int(maxObjects)
	}
	if limit == 0 || len(objects) <= limit {
		return types.RetrieveResult{Objects: objects}
	}
	pending.Lock()
	defer pending.Unlock()
	pending.next++
	token := fmt.Sprintf("page-%d", pending.next)
	pending.rest[token] = objects[limit:]
	return types.RetrieveResult{Token: token, Objects: objects[:limit]}
}

func (pc *pagedCollector) RetrievePropertiesEx(ctx *simulator.Context, r *types.RetrievePropertiesEx) soap.HasFault {
	body := pc.PropertyCollector.RetrievePropertiesEx(ctx, r).(*methods.RetrievePropertiesExBody)
	if body.Res != nil && body.Res.Returnval != nil {
		page := pageOf(body.Res.Returnval.Objects, r.Options.MaxObjects)
		body.Res.Returnval = &page
	}
	return body
}

func (pc *pagedCollector) ContinueRetrievePropertiesEx(r *types.ContinueRetrievePropertiesEx) soap.HasFault {
	pending.Lock()
	rest, ok := pending.rest[r.Token]
	delete(pending.rest, r.Token)
	pending.Unlock()
	if !ok {
		return &methods.ContinueRetrievePropertiesExBody{Fault_: simulator.Fault("unknown token", &types.InvalidArgument{InvalidProperty: "token"})}
	}
	return &methods.ContinueRetrievePropertiesExBody{Res: &types.ContinueRetrievePropertiesExResponse{Returnval: pageOf(rest, 0)}}
}

func (pc *pagedCollector) CancelRetrievePropertiesEx(r *types.CancelRetrievePropertiesEx) soap.HasFault {
	pending.Lock()
	delete(pending.rest, r.Token)
	pending.Unlock()
	return &methods.CancelRetrievePropertiesExBody{Res: &types.CancelRetrievePropertiesExResponse{}}
}

// presetStates gives the named machines the states the flags ask for; all machines start powered on.
func presetStates(off, suspended, question, disconnected string) {
	inList := func(list, name string) bool {
		for _, n := range strings.Split(list, ",") {
			if n == name {
				return true
			}
		}
		return false
	}
	for _, e := range simulator.Map.All("VirtualMachine") {
		vm := e.(*simulator.VirtualMachine)
		switch {
		case inList(off, vm.Name):
			vm.Runtime.PowerState = types.VirtualMachinePowerStatePoweredOff
		case inList(suspended, vm.Name):
			vm.Runtime.PowerState = types.VirtualMachinePowerStateSuspended
		}
		if inList(question, vm.Name) {
			vm.Runtime.Question = &types.VirtualMachineQuestionInfo{Id: "0", Text: "Did you move or copy this machine?",
				Choice: types.ChoiceOption{ChoiceInfo: []types.BaseElementDescription{
					&types.ElementDescription{Key: "0", Description: types.Description{Label: "Cancel", Summary: "Cancel"}}}}}
		}
		if inList(disconnected, vm.Name) {
			vm.Runtime.ConnectionState = types.VirtualMachineConnectionStateDisconnected
		}
		vm.Summary.Runtime = vm.Runtime
	}
}

// liveSessions counts the SessionManager's sessions through the library's per-session view of it,
// which lists them all.
func liveSessions(w http.ResponseWriter, _ *http.Request) {
	view := simulator.Session{Registry: simulator.NewRegistry()}
	sm := view.Get(simulator.Map.SessionManager().Reference()).(*simulator.SessionManager)
	w.Header().Set("Content-Type", "text/plain")
	fmt.Fprintf(w, "%d", len(sm.SessionList))
}

func newCertificate() tls.Certificate {
	// RSA: Wine's chain check refuses some ECDSA signatures (those whose r or s has a high bit).
	key, err := rsa.GenerateKey(rand.Reader, 2048)
	check(err)
	serial, err := rand.Int(rand.Reader, big.NewInt(1<<62))
	check(err)
	template := x509.Certificate{SerialNumber: serial, Subject: pkix.Name{CommonName: "127.0.0.1"},
		NotBefore: time.Now().Add(-time.Hour), NotAfter: time.Now().Add(24 * time.Hour),
		KeyUsage:    x509.KeyUsageDigitalSignature | x509.KeyUsageKeyEncipherment | x509.KeyUsageCertSign,
		ExtKeyUsage: []x509.ExtKeyUsage{x509.ExtKeyUsageServerAuth}, BasicConstraintsValid: true, IsCA: true,
		IPAddresses: []net.IP{net.IPv4(127, 0, 0, 1)}, DNSNames: []string{"localhost"}}
	der, err := x509.CreateCertificate(rand.Reader, &template, &template, &key.PublicKey, key)
	check(err)
	return tls.Certificate{Certificate: [][]byte{der}, PrivateKey: key}
}

// wrongAnswer is the handler of the modes that are no vSphere server at all.
func wrongAnswer(status int) http.HandlerFunc {
	return func(w http.ResponseWriter, _ *http.Request) {
		w.Header().Set("Content-Type", "text/html")
		w.WriteHeader(status)
		fmt.Fprintf(w, "<!DOCTYPE html><html><head><title>%d</title></head><body><h1>Welcome</h1></body></html>", status)
	}
}

// The library's encoder declares the XML Schema instance namespace again on every element that
// carries a type; vCenter and ESX declare it once on the envelope and write xsi:type. Some XML
// readers keep every declaration they meet, so the library's form costs them time in proportion
// to the answer's size for each element.
var (
	instanceDeclaration = []byte(` xmlns:XMLSchema-instance="http://www.w3.org/2001/XMLSchema-instance"`)
	instancePrefix      = []byte(` XMLSchema-instance:`)
	envelopePrefix      = []byte(` xsi:`)
)

// bufferedAnswer holds an answer until the handler is done, so that it can be rewritten.
type bufferedAnswer struct {
	http.ResponseWriter
	status int
	body   bytes.Buffer
}

func (a *bufferedAnswer) WriteHeader(status int)      { a.status = status }
func (a *bufferedAnswer) Write(b []byte) (int, error) { return a.body.Write(b) }

func asServersWriteIt(next http.Handler) http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		answer := &bufferedAnswer{ResponseWriter: w, status: http.StatusOK}
		next.ServeHTTP(answer, r)
		body := bytes.ReplaceAll(answer.body.Bytes(), instanceDeclaration, nil)
		body = bytes.ReplaceAll(body, instancePrefix, envelopePrefix)
		w.WriteHeader(answer.status)
		w.Write(body)
	})
}

// silentListener accepts connections and never answers, holding them open until the process ends.
func silentListener(address string) net.Listener {
	l, err := net.Listen("tcp", address)
	check(err)
	go func() {
		var held []net.Conn
		for {
			c, err := l.Accept()
			if err != nil {
				return
			}
			held = append(held, c)
		}
	}()
	return l
}

// tmp is the process's private temporary directory, removed on every exit.
var tmp string

func check(err error) {
	if err != nil {
		os.RemoveAll(tmp)
		log.Fatal(err)
	}
}

var (
	modelName    = flag.String("model", "vc", "inventory model: vc or esx")
	vms          = flag.Int("vms", 0, "machines in the inventory (0: the model's default)")
	listen       = flag.String("listen", "127.0.0.1:0", "listen address")
	user         = flag.String("user", "", "the only user name that logs in (default: any)")
	password     = flag.String("password", "", "its password")
	off          = flag.String("poweredOff", "", "machines powered off")
	suspended    = flag.String("suspended", "", "machines suspended")
	question     = flag.String("question", "", "machines with a pending question")
	disconnected = flag.String("disconnected", "", "machines whose connection state is disconnected")
	certFile     = flag.String("cert", "", "certificate file (PEM)")
	keyFile      = flag.String("key", "", "its key file (PEM)")
	freshCert    = flag.Bool("newcert", false, "serve a fresh self-signed certificate")
	certOut      = flag.String("certout", "", "write the certificate served with -newcert to this file (PEM)")
	plain        = flag.Bool("http", false, "serve plain http")
	mode         = flag.String("mode", "sim", "sim, silent, html or http500")
	libraryXML   = flag.Bool("libraryxml", false, "answer in the library's own XML form (a namespace declaration per typed element)")
)

func main() {
	flag.Parse()
	if *mode != "sim" && *mode != "silent" && *mode != "html" && *mode != "http500" {
		log.Fatalf("unknown mode %q", *mode)
	}
	// The library keeps a folder and two files a machine in the temporary directory: give it a private one
	// to remove on exit, in memory where there is such a file system (ten thousand machines are 60,000 files).
	// Its name carries the pid, so that whoever has to kill the process can remove it.
	pattern := fmt.Sprintf("vsphere-sim-%d-", os.Getpid())
	var err error
	if tmp, err = os.MkdirTemp("/dev/shm", pattern); err != nil {
		tmp, err = os.MkdirTemp("", pattern)
	}
	check(err)
	os.Setenv("TMPDIR", tmp)
	// Stop promptly, also while a big inventory is still being made: closing the server would wait on
	// every connection.
	stop := make(chan os.Signal, 1)
	signal.Notify(stop, syscall.SIGTERM, syscall.SIGINT)
	go func() {
		<-stop
		os.RemoveAll(tmp)
		os.Exit(0)
	}()

	scheme, address := "https", ""
	if *plain {
		scheme = "http"
	}
	if *mode == "silent" {
		address = silentListener(*listen).Addr().String()
	} else {
		address = serve()
	}
	fmt.Printf("%s://%s/sdk\n", scheme, address)
	select {}
}

func serve() string {
	model := simulator.VPX()
	if *modelName == "esx" {
		model = simulator.ESX()
	}
	if *vms > 0 {
		// One pool holds them all, so that the inventory has exactly the machines asked for.
		model.Cluster, model.ClusterHost, model.Machine = 0, 0, *vms
	}
	if *mode != "sim" {
		model.Machine = 0
	}
	prepareInventory(model)
	check(model.Create())
	presetStates(*off, *suspended, *question, *disconnected)
	presetInventory(model)
	pc := simulator.Map.Get(model.ServiceContent.PropertyCollector).(*simulator.PropertyCollector)
	simulator.Map.Put(&pagedCollector{PropertyCollector: *pc})

	model.Service.Listen = &url.URL{Host: *listen}
	if *user != "" {
		model.Service.Listen.User = url.UserPassword(*user, *password)
	}
	if !*plain {
		model.Service.TLS = new(tls.Config)
		if *freshCert {
			cert := newCertificate()
			model.Service.TLS.Certificates = []tls.Certificate{cert}
			if *certOut != "" {
				block := pem.EncodeToMemory(&pem.Block{Type: "CERTIFICATE", Bytes: cert.Certificate[0]})
				check(os.WriteFile(*certOut, block, 0o644))
			}
		} else if *certFile != "" {
			cert, err := tls.LoadX509KeyPair(*certFile, *keyFile)
			check(err)
			model.Service.TLS.Certificates = []tls.Certificate{cert}
		}
	}
	model.Service.HandleFunc("/brennow/sessions", liveSessions)
	model.Service.HandleFunc("/brennow/requests", sentRequests)
	server := model.Service.NewServer()
	if !*libraryXML {
		server.Config.Handler = asServersWriteIt(server.Config.Handler)
	}
	instrument(server)
	switch *mode {
	case "html":
		server.Config.Handler = wrongAnswer(http.StatusOK)
	case "http500":
		server.Config.Handler = wrongAnswer(http.StatusInternalServerError)
	}
	return hostileAddress(server)
}
