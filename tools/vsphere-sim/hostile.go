// Servers that misbehave on purpose, for the tests of brennow's transport (-hostile MODE): answers
// trickled a byte at a time or delayed, a certificate switched after the login, certificates their CA
// revoked. A hostile mode serves the simulator's handler (with the rewriting main.go puts around it) on
// loopback listeners of its own, so that it decides what each connection is shown and how each answer
// leaves; paths under /brennow/ are answered as the simulator answers them, at once.
//
// A mode that rewrites answers is one entry in hostileModes, {wrap: answering(REWRITE, deliverAtOnce),
// serve: serveOne}, with REWRITE changing the recorded answer (its status, headers or body) before it
// leaves.
package main

import (
	"bytes"
	"context"
	"crypto/rand"
	"crypto/rsa"
	"crypto/tls"
	"crypto/x509"
	"crypto/x509/pkix"
	"encoding/pem"
	"flag"
	"fmt"
	"io"
	"math/big"
	"net"
	"net/http"
	"os"
	"regexp"
	"sort"
	"strings"
	"sync"
	"time"

	"github.com/vmware/govmomi/simulator"
)

var (
	hostileMode = flag.String("hostile", "", "misbehave on purpose:"+hostileHelp())
	pace        = flag.Duration("pace", time.Second, "hostile modes: the time between trickled bytes, or an answer's delay")
	trickleMost = flag.Int("trickle", 0, "trickle modes: bytes trickled before the answer falls silent (0: all of it)")
)

// The longest a hostile server holds a silent connection, so that no loop of it is unbounded.
const silenceLimit = 2 * time.Minute

type hostile struct {
	about string
	// wrap turns the simulator's handler into the mode's.
	wrap func(next http.Handler) http.Handler
	// serve starts the mode's listeners over handler and returns the address of the first; cert is the
	// simulator's certificate (nil for plain http).
	serve func(handler http.Handler, cert *tls.Certificate) string
	// endpoints the mode answers itself, beside the simulator's /brennow/ ones.
	endpoints map[string]http.HandlerFunc
}

var switcher = newCertificateSwitch()

var hostileModes = map[string]hostile{
	"trickle-headers": {about: "every answer's status line and headers a byte per -pace, then the body",
		wrap: answering(nil, pacedDelivery(true, false)), serve: serveOne},
	"trickle-body": {about: "every answer's headers at once, then its body a byte per -pace",
		wrap: answering(nil, pacedDelivery(false, true)), serve: serveOne},
	"slow": {about: "every answer delayed by -pace, then sent at once",
		wrap: answering(nil, delayedDelivery), serve: serveOne},
	"switch-cert": {about: "the simulator's certificate until a Login is answered, then that connection and every other " +
		"one closed and another certificate shown; GET /brennow/hostile counts what came on it, POST /brennow/hostile/reset starts over",
		wrap: switcher.wrap, serve: switcher.serve, endpoints: switcher.endpoints()},
	"repeat-token": {about: "every page of a property retrieval answered with the token of the first, for as long as it is asked",
		wrap: answering(repeatingToken(), deliverAtOnce), serve: serveOne},
	"long-type": {about: "the first object of every property retrieval with a type attribute of 4 million characters",
		wrap: answering(longTypeAttribute, deliverAtOnce), serve: serveOne},
	"revocation": {about: "three listeners with certificates of one CA (-certout writes it): one the CA's list revokes, one it does " +
		"not list, one whose list cannot be fetched; GET /brennow/hostile names their URLs, POST /brennow/hostile/renew renews them",
		wrap: func(next http.Handler) http.Handler { return next }, serve: revocation.serve, endpoints: revocation.endpoints()},
}

func hostileHelp() string {
	help := ""
	for _, name := range hostileNames() {
		help += "\n  " + name + ": " + hostileModes[name].about
	}
	return help
}

func hostileNames() []string {
	names := []string{}
	for name := range hostileModes {
		names = append(names, name)
	}
	sort.Strings(names)
	return names
}

// hostileAddress is where clients reach the simulator: its own listener, or the hostile mode's.
func hostileAddress(server *simulator.Server) string {
	if *hostileMode == "" {
		return server.Listener.Addr().String()
	}
	mode, ok := hostileModes[*hostileMode]
	if !ok {
		check(fmt.Errorf("unknown hostile mode %q (%s)", *hostileMode, strings.Join(hostileNames(), ", ")))
	}
	var cert *tls.Certificate
	if server.TLS != nil {
		cert = &server.TLS.Certificates[0]
	}
	simulatorHandler := server.Config.Handler
	misbehaving := mode.wrap(simulatorHandler)
	handler := http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		if own, ok := mode.endpoints[r.URL.Path]; ok {
			own(w, r)
		} else if strings.HasPrefix(r.URL.Path, "/brennow/") {
			simulatorHandler.ServeHTTP(w, r)
		} else {
			misbehaving.ServeHTTP(w, r)
		}
	})
	return mode.serve(handler, cert)
}

// loopbackListener listens on a free loopback port.
func loopbackListener() net.Listener {
	l, err := net.Listen("tcp", "127.0.0.1:0")
	check(err)
	return l
}

// serveOne serves handler on one listener that shows the simulator's certificate.
func serveOne(handler http.Handler, cert *tls.Certificate) string {
	var config *tls.Config
	if cert != nil {
		config = &tls.Config{Certificates: []tls.Certificate{*cert}}
	}
	return serveOn(loopbackListener(), config, &http.Server{Handler: handler})
}

func serveOn(l net.Listener, config *tls.Config, server *http.Server) string {
	address := l.Addr().String()
	if config != nil {
		l = tls.NewListener(l, config)
	}
	go server.Serve(l)
	return address
}

// ---------------------------------------------------------------- recorded answers

// recordedAnswer is the simulator's answer to one request, held until it is delivered.
type recordedAnswer struct {
	status int
	header http.Header
	body   bytes.Buffer
}

func (a *recordedAnswer) Header() http.Header { return a.header }
func (a *recordedAnswer) WriteHeader(status int) {
	if a.status == 0 {
		a.status = status
	}
}
func (a *recordedAnswer) Write(b []byte) (int, error) {
	a.WriteHeader(http.StatusOK)
	return a.body.Write(b)
}

// wire is the answer as it goes out on a connection that closes after it: status line and headers.
func (a *recordedAnswer) wire() []byte {
	var head bytes.Buffer
	fmt.Fprintf(&head, "HTTP/1.1 %d %s\r\n", a.status, http.StatusText(a.status))
	a.header.Set("Content-Length", fmt.Sprint(a.body.Len()))
	a.header.Set("Connection", "close")
	a.header.Write(&head)
	head.WriteString("\r\n")
	return head.Bytes()
}

// delivery sends a recorded answer to the client.
type delivery func(w http.ResponseWriter, a *recordedAnswer)

func deliverAtOnce(w http.ResponseWriter, a *recordedAnswer) {
	for name, values := range a.header {
		w.Header()[name] = values
	}
	w.WriteHeader(a.status)
	w.Write(a.body.Bytes())
}

func delayedDelivery(w http.ResponseWriter, a *recordedAnswer) {
	time.Sleep(*pace)
	deliverAtOnce(w, a)
}

// pacedDelivery writes the parts asked for a byte per -pace (at most -trickle bytes of each, then
// silence), the others at once, on the connection taken from the HTTP server.
func pacedDelivery(pacedHead, pacedBody bool) delivery {
	return func(w http.ResponseWriter, a *recordedAnswer) {
		conn, _, err := w.(http.Hijacker).Hijack()
		if err != nil {
			return
		}
		defer conn.Close()
		if writePaced(conn, a.wire(), pacedHead) {
			writePaced(conn, a.body.Bytes(), pacedBody)
		}
	}
}

// writePaced reports whether all of data left; a trickle that falls silent holds the connection until
// the client closes it or silenceLimit has passed.
func writePaced(conn net.Conn, data []byte, paced bool) bool {
	if !paced {
		_, err := conn.Write(data)
		return err == nil
	}
	for i := range data {
		if *trickleMost > 0 && i == *trickleMost {
			conn.SetReadDeadline(time.Now().Add(silenceLimit))
			io.Copy(io.Discard, conn)
			return false
		}
		if _, err := conn.Write(data[i : i+1]); err != nil {
			return false
		}
		time.Sleep(*pace)
	}
	return true
}

// answering records the simulator's answer, lets rewrite change it (nil: as it is), and delivers it.
// rewrite gets the request's body as the simulator read it.
func answering(rewrite func(r *http.Request, request []byte, a *recordedAnswer), deliver delivery) func(http.Handler) http.Handler {
	return func(next http.Handler) http.Handler {
		return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
			request := readBody(r)
			answer := &recordedAnswer{header: http.Header{}}
			next.ServeHTTP(answer, r)
			answer.WriteHeader(http.StatusOK)
			if rewrite != nil {
				rewrite(r, request, answer)
			}
			deliver(w, answer)
		})
	}
}

// ---------------------------------------------------------------- rewritten answers

var (
	firstPage      = regexp.MustCompile(`<token>[^<]*</token>`)
	retrieveAnswer = regexp.MustCompile(`(Continue)?RetrievePropertiesExResponse`)
	objectType     = regexp.MustCompile(`<obj type="[^"]*"`)
)

// repeatingToken answers every ContinueRetrievePropertiesEx with the first page again, token and
// all, so that paging would never end.
func repeatingToken() func(r *http.Request, request []byte, a *recordedAnswer) {
	var mu sync.Mutex
	var first []byte
	return func(r *http.Request, request []byte, a *recordedAnswer) {
		mu.Lock()
		defer mu.Unlock()
		switch {
		case bytes.Contains(request, []byte("<ContinueRetrievePropertiesEx")) && first != nil:
			a.status = http.StatusOK
			a.body.Reset()
			a.body.Write(retrieveAnswer.ReplaceAll(first, []byte("ContinueRetrievePropertiesExResponse")))
		case bytes.Contains(request, []byte("<RetrievePropertiesEx")) && firstPage.Match(a.body.Bytes()):
			first = append([]byte(nil), a.body.Bytes()...)
		}
	}
}

// longTypeAttribute gives the first object of a property retrieval a type of 4 million characters.
func longTypeAttribute(r *http.Request, request []byte, a *recordedAnswer) {
	if !bytes.Contains(request, []byte("RetrievePropertiesEx")) {
		return
	}
	at := objectType.FindIndex(a.body.Bytes())
	if at == nil {
		return
	}
	body := append([]byte(nil), a.body.Bytes()...)
	long := append([]byte(`<obj type="`), bytes.Repeat([]byte("T"), 4_000_000)...)
	long = append(long, '"')
	a.body.Reset()
	a.body.Write(body[:at[0]])
	a.body.Write(long)
	a.body.Write(body[at[1]:])
}

// readBody reads the request's body and leaves it readable again for the next handler.
func readBody(r *http.Request) []byte {
	body, _ := io.ReadAll(io.LimitReader(r.Body, 64<<20))
	r.Body = io.NopCloser(bytes.NewReader(body))
	return body
}

// ---------------------------------------------------------------- the certificate switched after the login

type connKey struct{}

// certificateSwitch shows the simulator's certificate until a Login has been answered, then another one;
// it counts the requests that reach it over connections that were shown the other one.
type certificateSwitch struct {
	mu       sync.Mutex
	other    tls.Certificate
	switched bool
	shown    map[net.Conn]bool // raw connection: shown the other certificate
	open     map[net.Conn]bool // the HTTP server's connections
	logins   int
	requests int
	cookies  int
}

func newCertificateSwitch() *certificateSwitch {
	return &certificateSwitch{shown: map[net.Conn]bool{}, open: map[net.Conn]bool{}}
}

func (s *certificateSwitch) serve(handler http.Handler, cert *tls.Certificate) string {
	if cert == nil {
		check(fmt.Errorf("switch-cert needs https"))
	}
	s.other = newCertificate()
	pinned := &tls.Config{Certificates: []tls.Certificate{*cert}}
	other := &tls.Config{Certificates: []tls.Certificate{s.other}}
	config := &tls.Config{GetConfigForClient: func(hello *tls.ClientHelloInfo) (*tls.Config, error) {
		s.mu.Lock()
		defer s.mu.Unlock()
		s.shown[hello.Conn] = s.switched
		if s.switched {
			return other, nil
		}
		return pinned, nil
	}}
	server := &http.Server{Handler: handler,
		ConnContext: func(ctx context.Context, c net.Conn) context.Context {
			return context.WithValue(ctx, connKey{}, c.(*tls.Conn).NetConn())
		},
		ConnState: func(c net.Conn, state http.ConnState) {
			s.mu.Lock()
			defer s.mu.Unlock()
			switch state {
			case http.StateNew:
				s.open[c] = true
			case http.StateClosed, http.StateHijacked:
				delete(s.open, c)
				if tc, ok := c.(*tls.Conn); ok {
					delete(s.shown, tc.NetConn())
				}
			}
		}}
	return serveOn(loopbackListener(), config, server)
}

func (s *certificateSwitch) wrap(next http.Handler) http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		request := readBody(r)
		raw, _ := r.Context().Value(connKey{}).(net.Conn)
		s.mu.Lock()
		onOther := s.shown[raw]
		if onOther {
			s.requests++
			if strings.Contains(r.Header.Get("Cookie"), "vmware_soap_session") {
				s.cookies++
			}
		}
		s.mu.Unlock()
		login := !onOther && bytes.Contains(request, []byte("<Login "))
		if login {
			w.Header().Set("Connection", "close")
		}
		next.ServeHTTP(w, r)
		if login {
			s.mu.Lock()
			s.logins++
			s.switchTo(true, r)
			s.mu.Unlock()
		}
	})
}

// switchTo chooses the certificate of the next connections and closes every open one but the one
// that carried r (that one closes after its answer).
func (s *certificateSwitch) switchTo(other bool, r *http.Request) {
	s.switched = other
	raw, _ := r.Context().Value(connKey{}).(net.Conn)
	for c := range s.open {
		if tc, ok := c.(*tls.Conn); !ok || tc.NetConn() != raw {
			c.Close()
		}
	}
}

func (s *certificateSwitch) endpoints() map[string]http.HandlerFunc {
	return map[string]http.HandlerFunc{
		"/brennow/hostile": func(w http.ResponseWriter, _ *http.Request) {
			s.mu.Lock()
			defer s.mu.Unlock()
			w.Header().Set("Content-Type", "text/plain")
			fmt.Fprintf(w, "logins=%d requests=%d cookies=%d", s.logins, s.requests, s.cookies)
		},
		"/brennow/hostile/reset": func(w http.ResponseWriter, r *http.Request) {
			s.mu.Lock()
			defer s.mu.Unlock()
			s.logins, s.requests, s.cookies = 0, 0, 0
			s.switchTo(false, r)
			w.Header().Set("Connection", "close")
			w.Header().Set("Content-Type", "text/plain")
			fmt.Fprint(w, "reset")
		},
	}
}

// ---------------------------------------------------------------- revoked certificates

// revocationServers show certificates of one CA on three listeners: one its list revokes, one the list
// does not name, one whose list's address answers nothing. POST /brennow/hostile/renew gives all three
// new certificates and the list a new address: Wine keeps what it learnt of a certificate's revocation,
// and of a list, in the prefix, beyond the process that asked.
type revocationServers struct {
	mu         sync.Mutex
	ca         *x509.Certificate
	caKey      *rsa.PrivateKey
	leafKey    *rsa.PrivateKey // one key for every generation: a renewal is quick
	listAt     string          // the list server's address
	generation int
	leaves     [3]tls.Certificate // revoked, not revoked, list unreachable
	lists      map[string][]byte  // path: the list of that generation
	open       map[net.Conn]bool  // the three listeners' connections, closed on renewal
	urls       string             // "revoked=URL unrevoked=URL offline=URL"
}

var revocation = &revocationServers{lists: map[string][]byte{}, open: map[net.Conn]bool{}}

// serve makes the CA (written to -certout for the trusted roots), the list server (plain http) and the
// three listeners, for 127.0.0.1 and localhost.
func (s *revocationServers) serve(handler http.Handler, cert *tls.Certificate) string {
	if cert == nil {
		check(fmt.Errorf("revocation needs https"))
	}
	s.caKey, s.ca = newAuthority()
	var err error
	s.leafKey, err = rsa.GenerateKey(rand.Reader, 2048)
	check(err)
	if *certOut != "" {
		check(os.WriteFile(*certOut, pem.EncodeToMemory(&pem.Block{Type: "CERTIFICATE", Bytes: s.ca.Raw}), 0o644))
	}
	listLn := loopbackListener()
	s.listAt = listLn.Addr().String()
	go http.Serve(listLn, http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		s.mu.Lock()
		list, ok := s.lists[r.URL.Path]
		s.mu.Unlock()
		if !ok {
			http.NotFound(w, r)
			return
		}
		w.Header().Set("Content-Type", "application/pkix-crl")
		w.Write(list)
	}))
	s.renew(nil)
	addresses := [3]string{}
	for i := range addresses {
		leaf := i
		config := &tls.Config{GetConfigForClient: func(*tls.ClientHelloInfo) (*tls.Config, error) {
			s.mu.Lock()
			defer s.mu.Unlock()
			return &tls.Config{Certificates: []tls.Certificate{s.leaves[leaf]}}, nil
		}}
		addresses[i] = serveOn(loopbackListener(), config, &http.Server{Handler: handler, ConnState: s.track})
	}
	s.urls = fmt.Sprintf("revoked=https://%s/sdk unrevoked=https://%s/sdk offline=https://%s/sdk",
		addresses[0], addresses[1], addresses[2])
	return addresses[0]
}

func (s *revocationServers) track(c net.Conn, state http.ConnState) {
	s.mu.Lock()
	defer s.mu.Unlock()
	switch state {
	case http.StateNew:
		s.open[c] = true
	case http.StateClosed, http.StateHijacked:
		delete(s.open, c)
	}
}

// renew makes the next generation of certificates and its list, and closes the connections that
// showed the last one (but the one that asked, which closes after its answer).
func (s *revocationServers) renew(asking net.Conn) {
	s.mu.Lock()
	defer s.mu.Unlock()
	for c := range s.open {
		if c != asking {
			c.Close()
		}
	}
	s.generation++
	path := fmt.Sprintf("/brennow/crl/%d", s.generation)
	listURL := "http://" + s.listAt + path
	revoked := s.newLeaf(listURL)
	s.leaves = [3]tls.Certificate{revoked.cert, s.newLeaf(listURL).cert, s.newLeaf("http://127.0.0.1:1/brennow/crl").cert}
	list, err := x509.CreateRevocationList(rand.Reader, &x509.RevocationList{
		Number: big.NewInt(int64(s.generation)), ThisUpdate: time.Now().Add(-time.Hour), NextUpdate: time.Now().Add(24 * time.Hour),
		RevokedCertificates: []pkix.RevokedCertificate{{SerialNumber: revoked.serial, RevocationTime: time.Now().Add(-time.Hour)}},
	}, s.ca, s.caKey)
	check(err)
	s.lists[path] = list
}

// connAt is the open connection between local and remote, if any.
func (s *revocationServers) connAt(local net.Addr, remote string) net.Conn {
	s.mu.Lock()
	defer s.mu.Unlock()
	for c := range s.open {
		if local != nil && c.LocalAddr().String() == local.String() && c.RemoteAddr().String() == remote {
			return c
		}
	}
	return nil
}

func (s *revocationServers) endpoints() map[string]http.HandlerFunc {
	return map[string]http.HandlerFunc{
		"/brennow/hostile": func(w http.ResponseWriter, _ *http.Request) {
			w.Header().Set("Content-Type", "text/plain")
			fmt.Fprint(w, s.urls)
		},
		"/brennow/hostile/renew": func(w http.ResponseWriter, r *http.Request) {
			asking, _ := r.Context().Value(http.LocalAddrContextKey).(net.Addr)
			s.renew(s.connAt(asking, r.RemoteAddr))
			// The next check's connections are shown the new certificates.
			w.Header().Set("Connection", "close")
			w.Header().Set("Content-Type", "text/plain")
			fmt.Fprint(w, "renewed")
		},
	}
}

// randomSerial is unique per certificate: Wine remembers revocation answers by issuer and serial.
func randomSerial() *big.Int {
	serial, err := rand.Int(rand.Reader, big.NewInt(1<<62))
	check(err)
	return serial
}

func newAuthority() (*rsa.PrivateKey, *x509.Certificate) {
	key, err := rsa.GenerateKey(rand.Reader, 2048)
	check(err)
	serial := randomSerial()
	template := x509.Certificate{SerialNumber: serial, Subject: pkix.Name{CommonName: fmt.Sprintf("brennow test CA %x", serial)},
		NotBefore: time.Now().Add(-time.Hour), NotAfter: time.Now().Add(24 * time.Hour),
		KeyUsage: x509.KeyUsageCertSign | x509.KeyUsageCRLSign, BasicConstraintsValid: true, IsCA: true}
	der, err := x509.CreateCertificate(rand.Reader, &template, &template, &key.PublicKey, key)
	check(err)
	ca, err := x509.ParseCertificate(der)
	check(err)
	return key, ca
}

type leafCertificate struct {
	cert   tls.Certificate
	serial *big.Int
}

func (s *revocationServers) newLeaf(revocationList string) leafCertificate {
	serial := randomSerial()
	template := x509.Certificate{SerialNumber: serial, Subject: pkix.Name{CommonName: "localhost"},
		NotBefore: time.Now().Add(-time.Hour), NotAfter: time.Now().Add(24 * time.Hour),
		KeyUsage:    x509.KeyUsageDigitalSignature | x509.KeyUsageKeyEncipherment,
		ExtKeyUsage: []x509.ExtKeyUsage{x509.ExtKeyUsageServerAuth},
		DNSNames:    []string{"localhost"}, IPAddresses: []net.IP{net.IPv4(127, 0, 0, 1)},
		CRLDistributionPoints: []string{revocationList}}
	der, err := x509.CreateCertificate(rand.Reader, &template, s.ca, &s.leafKey.PublicKey, s.caKey)
	check(err)
	return leafCertificate{cert: tls.Certificate{Certificate: [][]byte{der, s.ca.Raw}, PrivateKey: s.leafKey}, serial: serial}
}
