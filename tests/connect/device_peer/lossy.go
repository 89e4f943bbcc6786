// Seeded datagram loss for the goodput runs, applied to the reliable stream's datagrams
// in both directions (never to ICE's own checks), and the native kcp-go to kcp-go run
// measured with the same loss for comparison.
package main

import (
	"bytes"
	"fmt"
	"io"
	"math/rand"
	"net"
	"sync"
	"time"

	kcp "github.com/xtaci/kcp-go"
)

type lossyConn struct {
	net.PacketConn
	loss float64
	mu   sync.Mutex
	rng  *rand.Rand
}

func newLossyConn(c net.PacketConn, loss float64, seed int64) net.PacketConn {
	if loss <= 0 {
		return c
	}
	return &lossyConn{PacketConn: c, loss: loss, rng: rand.New(rand.NewSource(seed))}
}

func (l *lossyConn) drop() bool {
	l.mu.Lock()
	defer l.mu.Unlock()
	return l.rng.Float64() < l.loss
}

func (l *lossyConn) ReadFrom(b []byte) (int, net.Addr, error) {
	for {
		n, a, err := l.PacketConn.ReadFrom(b)
		if err != nil || !l.drop() {
			return n, a, err
		}
	}
}

func (l *lossyConn) WriteTo(b []byte, a net.Addr) (int, error) {
	if l.drop() {
		return len(b), nil
	}
	return l.PacketConn.WriteTo(b, a)
}

// plainConn hides *net.UDPConn behind the PacketConn interface, so the native run moves
// datagrams one call at a time, as the peer over ICE does.
type plainConn struct{ net.PacketConn }

func configure(s *kcp.UDPSession) {
	s.SetStreamMode(true)
	s.SetWindowSize(1024, 1024)
	s.SetNoDelay(1, 10, 2, 1)
	s.SetMtu(1200)
}

// runNative sends size bytes each way between two kcp-go sessions on loopback (one echoes
// what it gets) and prints the seconds it took.
func runNative(size int, loss float64, seed int64) {
	lo := &net.UDPAddr{IP: net.IPv4(127, 0, 0, 1)}
	a, err := net.ListenUDP("udp4", lo)
	check(err)
	b, err := net.ListenUDP("udp4", lo)
	check(err)
	sa, err := kcp.NewConn3(conv, b.LocalAddr(), nil, 0, 0, newLossyConn(plainConn{a}, loss, seed))
	check(err)
	// Loss on one side only, both ways, as over ICE where only this peer drops datagrams.
	sb, err := kcp.NewConn3(conv, a.LocalAddr(), nil, 0, 0, plainConn{b})
	check(err)
	configure(sa)
	configure(sb)
	go io.Copy(sb, sb)
	data := make([]byte, size)
	rand.New(rand.NewSource(seed)).Read(data)
	start := time.Now()
	sa.SetDeadline(start.Add(300 * time.Second))
	go func() {
		for sent := 0; sent < size; {
			n := 65536
			if size-sent < n {
				n = size - sent
			}
			if _, err := sa.Write(data[sent : sent+n]); err != nil {
				return
			}
			sent += n
		}
	}()
	got := make([]byte, size)
	_, err = io.ReadFull(sa, got)
	seconds := time.Since(start).Seconds()
	if err != nil || !bytes.Equal(got, data) {
		fmt.Println("NATIVE_FAILED", err)
		return
	}
	fmt.Printf("NATIVE_SECONDS %.6f\n", seconds)
}
