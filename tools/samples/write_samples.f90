! Writes the sample dumps shipped in src/dorvo/quickio/samples/, which
! `quickio demo` inspects, loads and plots. They are small on purpose (a
! few hundred KB together) and written through the compiler's own
! unformatted I/O, the way the simulation writes its dumps:
!   field.bin        a laser pulse's transverse field on a 48 x 32 x 24
!                    grid, stored in 3 x 2 blocks of unequal sizes
!   phase_space.bin  3000 particles of an electron bunch with n = 3
!                    (x, y, z, px, py, pz, weight), in 4 blocks, one empty
! The random numbers come from the Park-Miller generator with a fixed seed,
! whose integer arithmetic never overflows, so every compiler writes the
! same bytes.
program write_samples
  implicit none
  integer(8) :: lcg_state = 20240607_8

  call field_dump('field.bin', 48, [10, 12, 10], [10, 14])
  call phase_dump('phase_space.bin', 3, [1200, 0, 1000, 800])
contains

  ! Uniform deviate in (0, 1).
  real(8) function uniform()
    lcg_state = modulo(16807_8 * lcg_state, 2147483647_8)
    uniform = real(lcg_state, 8) / 2147483647_8
  end function uniform

  ! Standard normal deviate (Box-Muller).
  real(8) function gauss()
    real(8), parameter :: two_pi = 6.283185307179586_8
    gauss = sqrt(-2 * log(uniform())) * cos(two_pi * uniform())
  end function gauss

  ! Field of a linearly polarised pulse travelling along x, in micrometres:
  ! a carrier of wavelength 0.8 under a Gaussian envelope of length 1.2 and
  ! waist 3, centred at x = 2.4 on the y-z axis.
  real(4) function pulse(x, y, z)
    real(8), intent(in) :: x, y, z
    real(8), parameter :: two_pi = 6.283185307179586_8
    pulse = real(2.5_8 * exp(-((x - 2.4_8) / 1.2_8)**2 - (y**2 + z**2) / 3**2) &
                 * cos(two_pi * (x - 2.4_8) / 0.8_8), 4)
  end function pulse

  subroutine field_dump(name, nx, ny_loc, nz_loc)
    character(*), intent(in) :: name
    integer, intent(in) :: nx, ny_loc(:), nz_loc(:)
    integer, parameter :: nparam = 20
    real(8), parameter :: dx = 0.1_8, dy = 0.4_8, dz = 0.5_8
    integer :: ipar(0:nparam - 1)
    real(4) :: rpar(0:nparam - 1)
    real(8), allocatable :: xs(:), ys(:), zs(:)
    real(4), allocatable :: blk(:, :, :)
    integer :: u, iy, iz, i, j, k, y0, z0, ny, nz

    ny = sum(ny_loc)
    nz = sum(nz_loc)
    allocate (xs(nx), ys(ny), zs(nz))
    do i = 1, nx
      xs(i) = dx * (i - 1)
    end do
    do j = 1, ny
      ys(j) = dy * (j - 1 - (ny - 1) / 2.0_8)
    end do
    do k = 1, nz
      zs(k) = dz * (k - 1 - (nz - 1) / 2.0_8)
    end do
    ipar = 0
    ipar(0) = size(ny_loc)
    ipar(1) = size(nz_loc)
    ipar(3) = nx
    ipar(4) = ny
    ipar(6) = nz
    ipar(14) = 3
    rpar = 0
    rpar(0:2) = real([dx, dy, dz], 4)

    open (newunit=u, file=name, form='unformatted', access='sequential', status='replace')
    write (u) nparam
    write (u) ipar
    write (u) rpar
    ! Layer by layer along z, by increasing y within a layer, each block
    ! spanning all of x, as the simulation's processes write them.
    z0 = 0
    do iz = 1, size(nz_loc)
      y0 = 0
      do iy = 1, size(ny_loc)
        allocate (blk(nx, ny_loc(iy), nz_loc(iz)))
        do k = 1, nz_loc(iz)
          do j = 1, ny_loc(iy)
            do i = 1, nx
              blk(i, j, k) = pulse(xs(i), ys(y0 + j), zs(z0 + k))
            end do
          end do
        end do
        write (u) nx, ny_loc(iy), nz_loc(iz)
        write (u) blk
        deallocate (blk)
        y0 = y0 + ny_loc(iy)
      end do
      z0 = z0 + nz_loc(iz)
    end do
    write (u) real(xs, 4)
    write (u) real(ys, 4)
    write (u) real(zs, 4)
    close (u)
  end subroutine field_dump

  ! An electron bunch with an energy chirp: px grows along the bunch (x),
  ! positions in micrometres, momenta in units of m_e c. The trailing word
  ! of each entry is the particle's id.
  subroutine phase_dump(name, n, counts)
    character(*), intent(in) :: name
    integer, intent(in) :: n, counts(:)
    real(8) :: x, y, z, px, py, pz, w
    integer :: u, b, e, p

    if (n /= 3) error stop 'phase_dump writes 3-dimensional particles'
    ! Stream access: no record markers, just the words back to back.
    open (newunit=u, file=name, form='unformatted', access='stream', status='replace')
    p = 0
    do b = 1, size(counts)
      write (u) counts(b)
      do e = 1, counts(b)
        x = 1.5_8 * gauss()
        y = 0.8_8 * gauss()
        z = 0.8_8 * gauss()
        px = 200 + 25 * x + 4 * gauss()
        py = 1.5_8 * gauss() - 0.6_8 * y
        pz = 1.5_8 * gauss() - 0.6_8 * z
        w = 1 + 0.2_8 * uniform()
        write (u) real([x, y, z, px, py, pz, w], 4), p
        p = p + 1
      end do
    end do
    close (u)
  end subroutine phase_dump

end program write_samples
