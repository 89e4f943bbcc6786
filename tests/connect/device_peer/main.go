// Independent device-side peer for the ICE stream tests: pion ICE (controlling, loopback
// only) with kcp-go on top, the "tvcB" close marker, and a few traffic modes.
package main

import (
	"bufio"
	"context"
	"crypto/sha256"
	"encoding/binary"
	"encoding/hex"
	"flag"
	"fmt"
	"io"
	"math/rand"
	"net"
	"os"
	"strings"
	"sync/atomic"
	"time"

	"github.com/pion/ice/v2"
	kcp "github.com/xtaci/kcp-go"
)

const conv = 0x74766331

var marker = []byte("tvcB")

// packetConn lets kcp-go run over the ICE connection, and notes the close marker.
type packetConn struct {
	conn       *ice.Conn
	markerSeen atomic.Bool
}

func (p *packetConn) ReadFrom(b []byte) (int, net.Addr, error) {
	for {
		n, err := p.conn.Read(b)
		if err != nil {
			return 0, nil, err
		}
		if n == 4 && string(b[:4]) == string(marker) {
			p.markerSeen.Store(true)
			fmt.Println("MARKER")
			continue
		}
		if n < 24 {
			continue
		}
		return n, p.conn.RemoteAddr(), nil
	}
}
func (p *packetConn) WriteTo(b []byte, _ net.Addr) (int, error) { return p.conn.Write(b) }
func (p *packetConn) Close() error                              { return nil }
func (p *packetConn) LocalAddr() net.Addr                       { return p.conn.LocalAddr() }
func (p *packetConn) SetDeadline(t time.Time) error             { return nil }
func (p *packetConn) SetReadDeadline(t time.Time) error         { return nil }
func (p *packetConn) SetWriteDeadline(t time.Time) error        { return nil }

func main() {
	mode := flag.String("mode", "echo", "echo, sink, push, flood, fat, idle, closer, bridge, native")
	size := flag.Int("bytes", 1<<20, "bytes for sink and push")
	count := flag.Int("count", 100000, "datagrams for flood and fat")
	life := flag.Duration("life", 60*time.Second, "how long to stay")
	turnURL := flag.String("relay-only", "", "reach the host only through this TURN server (turn:host:port)")
	turnUser := flag.String("turn-user", "", "TURN username for -relay-only")
	turnPass := flag.String("turn-pass", "", "TURN password for -relay-only")
	loss := flag.Float64("loss", 0, "stream datagrams lost per direction (goodput runs)")
	seed := flag.Int64("seed", 1, "seed of the loss")
	flag.Parse()
	if *mode == "native" {
		runNative(*size, *loss, *seed)
		return
	}

	config := &ice.AgentConfig{
		NetworkTypes:     []ice.NetworkType{ice.NetworkTypeUDP4},
		CandidateTypes:   []ice.CandidateType{ice.CandidateTypeHost},
		IncludeLoopback:  true,
		IPFilter:         func(ip net.IP) bool { return ip.IsLoopback() },
		MulticastDNSMode: ice.MulticastDNSModeDisabled,
	}
	if *turnURL != "" {
		config.Urls = []*ice.URL{relayURL(*turnURL, *turnUser, *turnPass)}
		config.CandidateTypes = []ice.CandidateType{ice.CandidateTypeRelay}
	}
	agent, err := ice.NewAgent(config)
	check(err)
	gathered := make(chan struct{})
	var cands []string
	check(agent.OnCandidate(func(c ice.Candidate) {
		if c == nil {
			close(gathered)
			return
		}
		cands = append(cands, c.Marshal())
	}))
	check(agent.OnConnectionStateChange(func(s ice.ConnectionState) {
		fmt.Println("PSTATE", s.String())
	}))
	check(agent.GatherCandidates())
	<-gathered
	ufrag, pwd, err := agent.GetLocalUserCredentials()
	check(err)
	fmt.Printf("a=ice-ufrag:%s\na=ice-pwd:%s\n", ufrag, pwd)
	for _, c := range cands {
		fmt.Printf("a=candidate:%s\n", c)
	}
	fmt.Println("a=end-of-candidates")
	fmt.Println("END")

	in := bufio.NewScanner(os.Stdin)
	var rUfrag, rPwd string
	for in.Scan() {
		line := strings.TrimRight(in.Text(), "\r")
		if line == "END" {
			break
		}
		switch {
		case strings.HasPrefix(line, "a=ice-ufrag:"):
			rUfrag = line[len("a=ice-ufrag:"):]
		case strings.HasPrefix(line, "a=ice-pwd:"):
			rPwd = line[len("a=ice-pwd:"):]
		case strings.HasPrefix(line, "a=candidate:"):
			c, err := ice.UnmarshalCandidate(line[len("a=candidate:"):])
			if err == nil {
				check(agent.AddRemoteCandidate(c))
			} else {
				fmt.Println("BADCANDIDATE", err)
			}
		}
	}
	ctx, cancel := context.WithTimeout(context.Background(), 10*time.Second)
	defer cancel()
	conn, err := agent.Dial(ctx, rUfrag, rPwd)
	check(err)
	fmt.Println("CONNECTED")

	pc := &packetConn{conn: conn}
	sess, err := kcp.NewConn3(conv, conn.RemoteAddr(), nil, 0, 0, newLossyConn(pc, *loss, *seed))
	check(err)
	sess.SetStreamMode(true)
	sess.SetWindowSize(1024, 1024)
	sess.SetNoDelay(1, 10, 2, 1)
	sess.SetMtu(1200)

	done := make(chan struct{})
	sinkDone := make(chan struct{})
	go func() {
		// The test driver closes stdin when the host side is finished.
		io.Copy(io.Discard, os.Stdin)
		close(done)
	}()
	switch *mode {
	case "echo":
		go io.Copy(sess, sess)
	case "sink":
		go func() {
			h := sha256.New()
			total := 0
			buf := make([]byte, 65536)
			for total < *size {
				sess.SetReadDeadline(time.Now().Add(3 * time.Second))
				n, err := sess.Read(buf)
				if err != nil {
					break
				}
				h.Write(buf[:n])
				total += n
			}
			// Whatever follows the marker is not part of the stream.
			time.Sleep(500 * time.Millisecond)
			fmt.Printf("SINK %d %s marker=%v\n", total, hex.EncodeToString(h.Sum(nil)), pc.markerSeen.Load())
			close(sinkDone)
		}()
		<-sinkDone
	case "push":
		go func() {
			data := make([]byte, 1<<20)
			rand.New(rand.NewSource(3)).Read(data)
			sent := 0
			for sent < *size {
				n, err := sess.Write(data)
				if err != nil {
					break
				}
				sent += n
			}
			fmt.Println("PUSHED", sent)
		}()
		go func() {
			for {
				time.Sleep(10 * time.Second)
				fmt.Printf("SNMP %+v\n", *kcp.DefaultSnmp.Copy())
			}
		}()
	case "flood":
		go func() {
			junk := make([]byte, 32)
			for i := 0; i < *count; i++ {
				junk[0] = byte(i)
				conn.Write(junk)
			}
			fmt.Println("FLOODED", *count)
			io.Copy(sess, sess)
		}()
	case "fat":
		// Segments of the stream's conversation that no sender of ours makes: 60000-byte
		// PUSH payloads (datagrams near 64 KiB), out of order inside the receive window.
		go func() {
			fat := make([]byte, 24+60000)
			binary.LittleEndian.PutUint32(fat[0:], 0x74766331)
			fat[4] = 81 // PUSH
			binary.LittleEndian.PutUint16(fat[6:], 1024)
			binary.LittleEndian.PutUint32(fat[20:], 60000)
			for i := 0; i < *count; i++ {
				binary.LittleEndian.PutUint32(fat[12:], uint32(1+i%1023))
				conn.Write(fat)
				if i%64 == 63 {
					time.Sleep(time.Millisecond)
				}
			}
			fmt.Println("FAT", *count)
			io.Copy(sess, sess)
		}()
	case "closer":
		// A message, a 23-byte datagram (dropped by the host), then the close marker.
		go func() {
			sess.Write([]byte("hello from the device"))
			time.Sleep(500 * time.Millisecond)
			conn.Write(make([]byte, 23))
			time.Sleep(100 * time.Millisecond)
			conn.Write(marker)
			fmt.Println("CLOSED")
		}()
	case "bridge":
		// The device app's side of a relay session: one loopback TCP client (the device
		// test client) gets the KCP stream; either side ending ends both.
		listener, err := net.Listen("tcp4", "127.0.0.1:0")
		check(err)
		fmt.Printf("BRIDGE %d\n", listener.Addr().(*net.TCPAddr).Port)
		go func() {
			tcp, err := listener.Accept()
			listener.Close()
			if err != nil {
				return
			}
			go func() {
				io.Copy(sess, tcp)
				sess.Close()
			}()
			go func() {
				for !pc.markerSeen.Load() {
					time.Sleep(50 * time.Millisecond)
				}
				// Bytes sent before the marker are delivered first.
				time.Sleep(300 * time.Millisecond)
				tcp.Close()
			}()
			io.Copy(tcp, sess)
			tcp.Close()
		}()
	case "idle":
	}
	select {
	case <-done:
	case <-time.After(*life):
	}
	fmt.Println("FINISHED")
	agent.Close()
}

// relayURL is a TURN URL with its long-term credentials.
func relayURL(raw, user, pass string) *ice.URL {
	u, err := ice.ParseURL(raw)
	check(err)
	u.Username = user
	u.Password = pass
	return u
}

func check(err error) {
	if err != nil {
		fmt.Println("ERROR", err)
		os.Exit(1)
	}
}
