/*
 * pahoc_bench.c - the raw Eclipse Paho MQTT C synchronous client (libpaho-mqtt3cs):
 * the ceiling for tarvo_sdk, which wraps it. Built by bench/CMakeLists.txt twice:
 * pahoc_bench linked as the SDK links the library, pahoc_bench_shared against the
 * shared library.
 *
 * Every mode prints one JSON object as its last line. "sub" and "reply" print READY
 * first, once their subscription is acknowledged. ADDR is host:port.
 *
 *   pub   ADDR TOPIC N SIZE QOS CB SUB MAX_S
 *         N publishes, each awaited (and the CPU time they took). CB=0: no callbacks (single-threaded library),
 *         MQTTClient_waitForCompletion. CB=1: callbacks set (the library's background
 *         thread runs, as in any client that receives), MQTTClient_waitForCompletion.
 *         CB=2: like 1, but a QoS 1/2 publish is awaited through the deliveryComplete
 *         callback and a condition variable (waitForCompletion polls in 100 ms steps).
 *         SUB=1 (needs CB>0): subscribed to TOPIC at QOS, arrivals counted.
 *   sub   ADDR TOPIC N QOS IDLE_S MAX_S
 *         counts arrivals; stops at N, after IDLE_S without one, or after MAX_S.
 *   rtt   ADDR TOPIC N SIZE WARM
 *         QoS 0 publish to its own subscribed topic, waits for the message; N times.
 *   reply ADDR REQ_TOPIC REPLY_TOPIC N IDLE_S MAX_S
 *         answers each request on REQ_TOPIC (QoS 1) with a QoS 1 publish of the same
 *         payload to REPLY_TOPIC from inside its messageArrived callback.
 *   req   ADDR REQ_TOPIC REPLY_TOPIC N IDLE_S MAX_S
 *         the requester for "reply": subscribed to REPLY_TOPIC at QoS 1, sends N QoS 1
 *         requests with at most REQ_WINDOW of them awaiting their reply, then collects
 *         the last replies.
 *   connect ADDR N KEEP
 *         N timed MQTTClient_connect calls (callbacks set), with a disconnect between.
 *         KEEP=1: a second client stays connected meanwhile, so the library's background
 *         thread keeps running; a connect that has to start it sleeps 100 ms in the library.
 *   many  ADDR TOPIC N
 *         the wall time to create, connect (callbacks set) and subscribe (QoS 0, to TOPIC)
 *         N clients, one after another, in this one process.
 *
 * Payloads are ASCII: an 8-digit sequence number, then 'x' padding. Timestamps that
 * cross processes are CLOCK_REALTIME (*_rt_ns); durations are CLOCK_MONOTONIC.
 */
#define _GNU_SOURCE
#include <MQTTClient.h>
#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

static int64_t ns_of(clockid_t id)
{
	struct timespec ts;
	clock_gettime(id, &ts);
	return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}
static int64_t rt_ns(void) { return ns_of(CLOCK_REALTIME); }
static int64_t mono_ns(void) { return ns_of(CLOCK_MONOTONIC); }

static double cpu_s(void)
{
	struct rusage ru;
	getrusage(RUSAGE_SELF, &ru);
	return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

static int cmp_i64(const void *a, const void *b)
{
	int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
	return (x > y) - (x < y);
}
static double pct_us(const int64_t *sorted, long n, double p)
{
	if (n <= 0)
		return -1;
	long i = (long)(p / 100.0 * (double)(n - 1) + 0.5);
	return sorted[i < n ? i : n - 1] / 1000.0;
}

static void fill_payload(char *buf, int size, long seq)
{
	char tmp[16];
	memset(buf, 'x', size);
	if (size >= 8) {
		snprintf(tmp, sizeof tmp, "%08ld", seq % 100000000L);
		memcpy(buf, tmp, 8);
	}
}
static long parse_seq(const void *payload, int len)
{
	if (len < 8)
		return -1;
	char tmp[9];
	memcpy(tmp, payload, 8);
	tmp[8] = 0;
	return strtol(tmp, NULL, 10);
}

static void connlost(void *ctx, char *cause)
{
	(void)ctx;
	fprintf(stderr, "connection lost: %s\n", cause ? cause : "(null)");
}

static MQTTClient make_client(const char *addr, const char *name)
{
	char uri[256], id[64];
	/* An address with a scheme (ssl://host:port, for the TLS figures) is taken as it is. */
	snprintf(uri, sizeof uri, strstr(addr, "://") ? "%s" : "tcp://%s", addr);
	snprintf(id, sizeof id, "%s-%d", name, (int)getpid());
	MQTTClient c;
	int rc = MQTTClient_create(&c, uri, id, MQTTCLIENT_PERSISTENCE_NONE, NULL);
	if (rc != MQTTCLIENT_SUCCESS) {
		fprintf(stderr, "create failed %d\n", rc);
		exit(2);
	}
	return c;
}
/* max_inflight 0: the library's default (one QoS 1/2 message in flight). */
static void do_connect(MQTTClient c, int max_inflight)
{
	MQTTClient_connectOptions o = MQTTClient_connectOptions_initializer;
	o.keepAliveInterval = 60;
	o.cleansession = 1;
	o.MQTTVersion = MQTTVERSION_3_1_1;
	if (max_inflight > 0) {
		o.reliable = 0;
		o.maxInflightMessages = max_inflight;
	}
	/* Over TLS, verified against the CA of TARVO_BENCH_CA, as tarvo_sdk and paho-mqtt are. */
	MQTTClient_SSLOptions ssl = MQTTClient_SSLOptions_initializer;
	if (getenv("TARVO_BENCH_CA")) {
		ssl.trustStore = getenv("TARVO_BENCH_CA");
		ssl.enableServerCertAuth = 1;
		ssl.verify = 1;
		o.ssl = &ssl;
	}
	int rc = MQTTClient_connect(c, &o);
	if (rc != MQTTCLIENT_SUCCESS) {
		fprintf(stderr, "connect failed %d\n", rc);
		exit(2);
	}
}
static void do_subscribe(MQTTClient c, const char *topic, int qos)
{
	int rc = MQTTClient_subscribe(c, topic, qos);
	if (rc != MQTTCLIENT_SUCCESS) {
		fprintf(stderr, "subscribe failed %d\n", rc);
		exit(2);
	}
}

/* ------------------------------------------------------------- arrival log */
/* Counts messages arriving on the library's thread: first and last arrival
 * (realtime) and the largest gap between two. */
static atomic_long a_count;
static atomic_llong a_first_rt, a_last_rt, a_maxgap;

static void arrival(void)
{
	int64_t now = rt_ns();
	long k = atomic_fetch_add(&a_count, 1);
	if (k == 0) {
		atomic_store(&a_first_rt, now);
	} else {
		int64_t gap = now - atomic_load(&a_last_rt);
		if (gap > atomic_load(&a_maxgap))
			atomic_store(&a_maxgap, gap);
	}
	atomic_store(&a_last_rt, now);
}
static int ma_count(void *ctx, char *topic, int tlen, MQTTClient_message *m)
{
	(void)ctx; (void)tlen;
	arrival();
	MQTTClient_freeMessage(&m);
	MQTTClient_free(topic);
	return 1;
}
/* Waits (2 ms polls) until N arrivals, IDLE_S without a new one, or MAX_S in all. */
static void await_arrivals(long n, double idle_s, double max_s)
{
	int64_t start = mono_ns(), last_change = start;
	long last = atomic_load(&a_count);
	struct timespec ts = {0, 2000000};
	while (last < n) {
		nanosleep(&ts, NULL);
		long k = atomic_load(&a_count);
		int64_t now = mono_ns();
		if (k != last) {
			last = k;
			last_change = now;
		}
		if (now - last_change > (int64_t)(idle_s * 1e9) || now - start > (int64_t)(max_s * 1e9))
			break;
	}
}
static double arrival_rate(void)
{
	long k = atomic_load(&a_count);
	double span = (atomic_load(&a_last_rt) - atomic_load(&a_first_rt)) / 1e9;
	return (k > 1 && span > 0) ? (k - 1) / span : 0.0;
}

/* ---------------------------------------------------------------- pub */
static pthread_mutex_t d_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t d_cv = PTHREAD_COND_INITIALIZER;
static MQTTClient_deliveryToken d_done = -1;

static void dc_cb(void *ctx, MQTTClient_deliveryToken dt)
{
	(void)ctx;
	pthread_mutex_lock(&d_mu);
	d_done = dt;
	pthread_cond_broadcast(&d_cv);
	pthread_mutex_unlock(&d_mu);
}
/* CLOCK_REALTIME, as pthread_cond_timedwait takes it. */
static struct timespec deadline_in(long timeout_ms)
{
	struct timespec dl;
	clock_gettime(CLOCK_REALTIME, &dl);
	dl.tv_sec += timeout_ms / 1000;
	dl.tv_nsec += (timeout_ms % 1000) * 1000000L;
	if (dl.tv_nsec >= 1000000000L) {
		dl.tv_sec++;
		dl.tv_nsec -= 1000000000L;
	}
	return dl;
}

static int dc_wait(MQTTClient_deliveryToken tok, long timeout_ms)
{
	struct timespec dl = deadline_in(timeout_ms);
	int rc = 0;
	pthread_mutex_lock(&d_mu);
	while (d_done != tok && rc == 0)
		rc = pthread_cond_timedwait(&d_cv, &d_mu, &dl);
	int ok = (d_done == tok);
	pthread_mutex_unlock(&d_mu);
	return ok ? MQTTCLIENT_SUCCESS : MQTTCLIENT_FAILURE;
}

static int mode_pub(int argc, char **argv)
{
	if (argc < 10) {
		fprintf(stderr, "pub ADDR TOPIC N SIZE QOS CB SUB MAX_S\n");
		return 2;
	}
	const char *topic = argv[3];
	long n = atol(argv[4]);
	int size = atoi(argv[5]), qos = atoi(argv[6]), cb = atoi(argv[7]), sub = atoi(argv[8]);
	double max_s = atof(argv[9]);
	MQTTClient c = make_client(argv[2], "cpub");
	if (cb)
		MQTTClient_setCallbacks(c, NULL, connlost, ma_count, cb == 2 ? dc_cb : NULL);
	do_connect(c, 0);
	if (sub)
		do_subscribe(c, topic, qos);

	char *buf = malloc(size > 0 ? size : 1);
	int64_t *lat = malloc(sizeof(int64_t) * (n > 0 ? n : 1));
	MQTTClient_message msg = MQTTClient_message_initializer;
	msg.payload = buf;
	msg.payloadlen = size;
	msg.qos = qos;
	long done = 0, errs = 0;
	double cpu0 = cpu_s();
	int64_t t_first_rt = rt_ns();
	int64_t t0 = mono_ns(), deadline = t0 + (int64_t)(max_s * 1e9);
	for (long i = 0; i < n; i++) {
		fill_payload(buf, size, i);
		MQTTClient_deliveryToken tok = 0; /* written only for QoS > 0 */
		if (cb == 2) {
			pthread_mutex_lock(&d_mu);
			d_done = -1;
			pthread_mutex_unlock(&d_mu);
		}
		int64_t a = mono_ns();
		int rc = MQTTClient_publishMessage(c, topic, &msg, &tok);
		if (rc != MQTTCLIENT_SUCCESS) {
			errs++;
			fprintf(stderr, "publishMessage rc=%d at %ld\n", rc, i);
			break;
		}
		if (cb == 2 && qos > 0)
			rc = dc_wait(tok, 10000);
		else
			rc = MQTTClient_waitForCompletion(c, tok, 10000);
		int64_t e = mono_ns();
		if (rc != MQTTCLIENT_SUCCESS) {
			errs++;
			fprintf(stderr, "completion rc=%d at %ld\n", rc, i);
		}
		lat[done++] = e - a;
		if (e > deadline)
			break;
	}
	double el = (mono_ns() - t0) / 1e9;
	double cpu = cpu_s() - cpu0;
	if (sub)
		await_arrivals(done, 2.0, 30.0);
	int64_t t_end_rt = rt_ns();
	MQTTClient_disconnect(c, 2000);
	MQTTClient_destroy(&c);
	qsort(lat, done, sizeof(int64_t), cmp_i64);
	printf("{\"mode\":\"pub\",\"n_done\":%ld,\"elapsed_s\":%.6f,\"rate\":%.1f,\"cpu_s\":%.4f,\"errors\":%ld,"
	       "\"lat_p50_us\":%.1f,\"lat_p99_us\":%.1f,\"lat_max_us\":%.1f,\"arrived\":%ld,"
	       "\"last_arrival_s\":%.6f,\"end_s\":%.6f}\n",
	       done, el, done / el, cpu, errs, pct_us(lat, done, 50), pct_us(lat, done, 99),
	       done ? lat[done - 1] / 1000.0 : -1, atomic_load(&a_count),
	       sub ? (atomic_load(&a_last_rt) - t_first_rt) / 1e9 : 0.0, (t_end_rt - t_first_rt) / 1e9);
	return 0;
}

/* ---------------------------------------------------------------- sub */
static int mode_sub(int argc, char **argv)
{
	if (argc < 8) {
		fprintf(stderr, "sub ADDR TOPIC N QOS IDLE_S MAX_S\n");
		return 2;
	}
	long n = atol(argv[4]);
	MQTTClient c = make_client(argv[2], "csub");
	MQTTClient_setCallbacks(c, NULL, connlost, ma_count, NULL);
	do_connect(c, 0);
	do_subscribe(c, argv[3], atoi(argv[5]));
	printf("READY\n");
	double cpu0 = cpu_s();
	await_arrivals(n, atof(argv[6]), atof(argv[7]));
	double cpu = cpu_s() - cpu0;
	MQTTClient_disconnect(c, 2000);
	MQTTClient_destroy(&c);
	printf("{\"mode\":\"sub\",\"n_recv\":%ld,\"rate\":%.1f,\"max_gap_ms\":%.3f,\"cpu_s\":%.4f,"
	       "\"t_first_rt_ns\":%lld,\"t_last_rt_ns\":%lld}\n",
	       atomic_load(&a_count), arrival_rate(), atomic_load(&a_maxgap) / 1e6, cpu,
	       (long long)atomic_load(&a_first_rt), (long long)atomic_load(&a_last_rt));
	return 0;
}

/* ---------------------------------------------------------------- rtt */
static sem_t r_sem;
static atomic_long r_expect;

static int ma_rtt(void *ctx, char *topic, int tlen, MQTTClient_message *m)
{
	(void)ctx; (void)tlen;
	long seq = parse_seq(m->payload, m->payloadlen);
	MQTTClient_freeMessage(&m);
	MQTTClient_free(topic);
	if (seq == atomic_load(&r_expect))
		sem_post(&r_sem);
	return 1;
}

static int mode_rtt(int argc, char **argv)
{
	if (argc < 7) {
		fprintf(stderr, "rtt ADDR TOPIC N SIZE WARM\n");
		return 2;
	}
	const char *topic = argv[3];
	long n = atol(argv[4]), warm = atol(argv[6]);
	int size = atoi(argv[5]);
	sem_init(&r_sem, 0, 0);
	MQTTClient c = make_client(argv[2], "crtt");
	MQTTClient_setCallbacks(c, NULL, connlost, ma_rtt, NULL);
	do_connect(c, 0);
	do_subscribe(c, topic, 0);
	char *buf = malloc(size);
	int64_t *lat = malloc(sizeof(int64_t) * n);
	MQTTClient_message msg = MQTTClient_message_initializer;
	msg.payload = buf;
	msg.payloadlen = size;
	long got = 0, timeouts = 0;
	for (long i = 0; i < warm + n; i++) {
		fill_payload(buf, size, i);
		atomic_store(&r_expect, i);
		MQTTClient_deliveryToken tok = 0;
		int64_t a = mono_ns();
		MQTTClient_publishMessage(c, topic, &msg, &tok);
		MQTTClient_waitForCompletion(c, tok, 10000);
		struct timespec dl;
		clock_gettime(CLOCK_REALTIME, &dl);
		dl.tv_sec += 2;
		int r;
		do
			r = sem_timedwait(&r_sem, &dl);
		while (r != 0 && errno == EINTR);
		int64_t b = mono_ns();
		if (r != 0)
			timeouts++;
		else if (i >= warm)
			lat[got++] = b - a;
	}
	MQTTClient_disconnect(c, 2000);
	MQTTClient_destroy(&c);
	qsort(lat, got, sizeof(int64_t), cmp_i64);
	printf("{\"mode\":\"rtt\",\"n_ok\":%ld,\"timeouts\":%ld,\"p50_us\":%.1f,\"p99_us\":%.1f,\"max_us\":%.1f}\n",
	       got, timeouts, pct_us(lat, got, 50), pct_us(lat, got, 99), got ? lat[got - 1] / 1000.0 : -1);
	return 0;
}

/* ------------------------------------------------------- reply and req */
static MQTTClient rp_client;
static const char *rp_topic;
static atomic_long rp_errs;
static atomic_llong rp_max_call;

static int ma_reply(void *ctx, char *topic, int tlen, MQTTClient_message *m)
{
	(void)ctx; (void)tlen;
	MQTTClient_message out = MQTTClient_message_initializer;
	out.payload = m->payload;
	out.payloadlen = m->payloadlen;
	out.qos = 1;
	MQTTClient_deliveryToken tok;
	int64_t a = mono_ns();
	if (MQTTClient_publishMessage(rp_client, rp_topic, &out, &tok) != MQTTCLIENT_SUCCESS)
		atomic_fetch_add(&rp_errs, 1);
	int64_t call = mono_ns() - a;
	if (call > atomic_load(&rp_max_call))
		atomic_store(&rp_max_call, call);
	arrival();
	MQTTClient_freeMessage(&m);
	MQTTClient_free(topic);
	return 1;
}

static int mode_reply(int argc, char **argv)
{
	if (argc < 8) {
		fprintf(stderr, "reply ADDR REQ_TOPIC REPLY_TOPIC N IDLE_S MAX_S\n");
		return 2;
	}
	rp_topic = argv[4];
	rp_client = make_client(argv[2], "creply");
	MQTTClient_setCallbacks(rp_client, NULL, connlost, ma_reply, NULL);
	/* the same window tarvo_sdk uses, so replies need not wait for each other */
	do_connect(rp_client, 1024);
	do_subscribe(rp_client, argv[3], 1);
	printf("READY\n");
	await_arrivals(atol(argv[5]), atof(argv[6]), atof(argv[7]));
	MQTTClient_disconnect(rp_client, 5000); /* lets the last acknowledgements in */
	MQTTClient_destroy(&rp_client);
	printf("{\"mode\":\"reply\",\"handled\":%ld,\"errors\":%ld,\"max_call_ms\":%.3f}\n", atomic_load(&a_count),
	       atomic_load(&rp_errs), atomic_load(&rp_max_call) / 1e6);
	return 0;
}

/* Requests awaiting their reply at once, as a client with that many requests outstanding
 * keeps them: the replier, not the round trip, sets the pace. */
#define REQ_WINDOW 32
static pthread_mutex_t r_mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t r_cv = PTHREAD_COND_INITIALIZER;

static int ma_reply_arrived(void *ctx, char *topic, int tlen, MQTTClient_message *m)
{
	int rc = ma_count(ctx, topic, tlen, m);
	pthread_mutex_lock(&r_mu);
	pthread_cond_signal(&r_cv);
	pthread_mutex_unlock(&r_mu);
	return rc;
}

/* Waits until fewer than REQ_WINDOW of the requests sent await their reply; false after
 * timeout_ms without one. */
static int window_open(long sent, long timeout_ms)
{
	struct timespec dl = deadline_in(timeout_ms);
	int rc = 0;
	pthread_mutex_lock(&r_mu);
	while (sent - atomic_load(&a_count) >= REQ_WINDOW && rc == 0)
		rc = pthread_cond_timedwait(&r_cv, &r_mu, &dl);
	int open = sent - atomic_load(&a_count) < REQ_WINDOW;
	pthread_mutex_unlock(&r_mu);
	return open;
}

static int mode_req(int argc, char **argv)
{
	if (argc < 8) {
		fprintf(stderr, "req ADDR REQ_TOPIC REPLY_TOPIC N IDLE_S MAX_S\n");
		return 2;
	}
	const char *req_topic = argv[3];
	long n = atol(argv[5]);
	MQTTClient c = make_client(argv[2], "creq");
	MQTTClient_setCallbacks(c, NULL, connlost, ma_reply_arrived, NULL);
	do_connect(c, 1024);
	do_subscribe(c, argv[4], 1);
	char buf[16];
	MQTTClient_message msg = MQTTClient_message_initializer;
	msg.payload = buf;
	msg.payloadlen = sizeof buf;
	msg.qos = 1;
	long errs = 0;
	int64_t t0_rt = rt_ns();
	for (long i = 0; i < n; i++) {
		fill_payload(buf, sizeof buf, i);
		MQTTClient_deliveryToken tok = 0;
		if (!window_open(i, 10000) || MQTTClient_publishMessage(c, req_topic, &msg, &tok) != MQTTCLIENT_SUCCESS) {
			errs += n - i;
			break;
		}
	}
	int64_t sent_rt = rt_ns();
	await_arrivals(n, atof(argv[6]), atof(argv[7]));
	MQTTClient_disconnect(c, 2000);
	MQTTClient_destroy(&c);
	long k = atomic_load(&a_count);
	int64_t first = atomic_load(&a_first_rt), last = atomic_load(&a_last_rt);
	int64_t gap = atomic_load(&a_maxgap);
	if (k > 0 && first - t0_rt > gap)
		gap = first - t0_rt; /* waiting for the first reply counts as a gap too */
	double span = k > 0 ? (last - t0_rt) / 1e9 : 0;
	printf("{\"mode\":\"req\",\"requests\":%ld,\"request_errors\":%ld,\"replies\":%ld,\"send_s\":%.6f,"
	       "\"span_s\":%.6f,\"rate\":%.1f,\"max_gap_ms\":%.3f}\n",
	       n, errs, k, (sent_rt - t0_rt) / 1e9, span, span > 0 ? k / span : 0.0, gap / 1e6);
	return 0;
}

/* A connect that waited for the library's receiving thread to come back from one of its
 * 100 ms sleeps, as opposed to one that took what the network takes. */
#define SLOW_CONNECT_NS 50000000LL

static int mode_connect(int argc, char **argv)
{
	if (argc < 5) {
		fprintf(stderr, "connect ADDR N KEEP\n");
		return 2;
	}
	long n = atol(argv[3]);
	int64_t *lat = malloc(sizeof(int64_t) * (n > 0 ? n : 1));
	MQTTClient keeper = NULL;
	if (atoi(argv[4])) {
		keeper = make_client(argv[2], "ckeep");
		MQTTClient_setCallbacks(keeper, NULL, connlost, ma_count, NULL);
		do_connect(keeper, 0);
	}
	MQTTClient c = make_client(argv[2], "cconn");
	MQTTClient_setCallbacks(c, NULL, connlost, ma_count, NULL);
	for (long i = 0; i <= n; i++) { /* the first connect warms up and is not counted */
		int64_t a = mono_ns();
		do_connect(c, 0);
		if (i > 0)
			lat[i - 1] = mono_ns() - a;
		MQTTClient_disconnect(c, 2000);
	}
	MQTTClient_destroy(&c);
	if (keeper) {
		MQTTClient_disconnect(keeper, 2000);
		MQTTClient_destroy(&keeper);
	}
	qsort(lat, n, sizeof(int64_t), cmp_i64);
	long slow = 0;
	double sum_ms = 0;
	for (long i = 0; i < n; i++) {
		slow += lat[i] > SLOW_CONNECT_NS;
		sum_ms += lat[i] / 1e6;
	}
	printf("{\"mode\":\"connect\",\"p50_ms\":%.3f,\"mean_ms\":%.3f,\"min_ms\":%.3f,\"max_ms\":%.3f,"
	       "\"over_50ms\":%ld}\n",
	       pct_us(lat, n, 50) / 1e3, n ? sum_ms / n : -1, n ? lat[0] / 1e6 : -1, n ? lat[n - 1] / 1e6 : -1, slow);
	return 0;
}

static int mode_many(int argc, char **argv)
{
	if (argc < 5) {
		fprintf(stderr, "many ADDR TOPIC N\n");
		return 2;
	}
	long n = atol(argv[4]);
	MQTTClient *clients = calloc(n > 0 ? n : 1, sizeof(MQTTClient));
	char name[32];
	int64_t t0 = mono_ns();
	for (long i = 0; i < n; i++) {
		snprintf(name, sizeof name, "cmany%ld", i);
		clients[i] = make_client(argv[2], name);
		MQTTClient_setCallbacks(clients[i], NULL, connlost, ma_count, NULL);
		do_connect(clients[i], 0);
		do_subscribe(clients[i], argv[3], 0);
	}
	double wall_s = (mono_ns() - t0) / 1e9;
	for (long i = 0; i < n; i++) {
		MQTTClient_disconnect(clients[i], 0);
		MQTTClient_destroy(&clients[i]);
	}
	printf("{\"mode\":\"many\",\"clients\":%ld,\"wall_s\":%.6f}\n", n, wall_s);
	return 0;
}

int main(int argc, char **argv)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	static const struct {
		const char *name;
		int (*run)(int, char **);
	} modes[] = {{"pub", mode_pub}, {"sub", mode_sub}, {"rtt", mode_rtt}, {"reply", mode_reply}, {"req", mode_req},
	                 {"connect", mode_connect}, {"many", mode_many}};
	for (size_t i = 0; argc >= 2 && i < sizeof modes / sizeof modes[0]; i++)
		if (!strcmp(argv[1], modes[i].name))
			return modes[i].run(argc, argv);
	fprintf(stderr, "usage: pahoc_bench pub|sub|rtt|reply|req|connect|many ...\n");
	return 2;
}
